"""Opening a serial line for the test bench and the commissioning kit: a real port (a USB
adapter, an on-board UART) or a pseudo-terminal, raw 8N1 without flow control, at a chosen
speed. A pty accepts the speed and ignores it. Standard library only.
"""
import argparse
import fcntl
import os
import termios
import tty

RATES = {rate: getattr(termios, "B%d" % rate)
         for rate in (1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400)
         if hasattr(termios, "B%d" % rate)}


def rate_text():
    return ", ".join(str(r) for r in sorted(RATES))


def check_rate(text):
    """A baud rate the kit can set, for argparse's type=."""
    try:
        baud = int(text)
    except ValueError:
        baud = None
    if baud not in RATES:
        raise argparse.ArgumentTypeError("%s is not a line speed the kit can set (%s)" % (
            text, rate_text()))
    return baud


def make_raw(fd, baud=None):
    """Raw 8-bit line as the process sets its own end: 8 data bits, no parity, one stop bit, no
    echo, no translation, no software or hardware flow control, modem lines ignored; the speed
    is set to `baud` bits per second when given."""
    tty.setraw(fd, termios.TCSANOW)
    attrs = termios.tcgetattr(fd)
    attrs[0] &= ~(termios.IXON | termios.IXOFF | termios.IXANY | termios.ICRNL | termios.INLCR |
                  termios.IGNCR | termios.ISTRIP | termios.INPCK | termios.PARMRK)
    attrs[1] &= ~termios.OPOST
    attrs[2] &= ~(termios.PARENB | termios.CSTOPB | termios.CSIZE |
                  getattr(termios, "CRTSCTS", 0))
    attrs[2] |= termios.CS8 | termios.CLOCAL | termios.CREAD
    attrs[3] &= ~(termios.ECHO | termios.ICANON | termios.ISIG | termios.IEXTEN)
    if baud:
        if baud not in RATES:
            raise ValueError("%s is not a line speed the kit can set (%s)" % (baud, rate_text()))
        attrs[4] = attrs[5] = RATES[baud]
    termios.tcsetattr(fd, termios.TCSANOW, attrs)


def open_line(path, baud=None):
    """Opens a serial port or pty non-blocking, without making it the controlling terminal,
    and sets it raw (and to `baud`). A port that another program holds locked (ecgcomm locks
    its port) is refused, also for root, whom the kernel's exclusive mode lets through.
    Anything else than a terminal (a FIFO in a dry run) is opened as it is."""
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        if os.isatty(fd):
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                raise OSError("%s is in use by another program (the ecgcomm service of this "
                              "line?)" % path) from None
            make_raw(fd, baud)
            # Bytes an earlier user left in the queues are not part of this run.
            termios.tcflush(fd, termios.TCIOFLUSH)
    except BaseException:
        os.close(fd)
        raise
    return fd
