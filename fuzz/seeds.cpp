// Writes the seed corpus of every fuzz target into <out>/<target>/, built from the same
// vectors and builders the unit tests use: the SLIP and datagram test vectors, the OBJ builder's
// valid and faulty files, command lines and profiles from the tests, and whole calls for the
// engine. Usage: fuzz_seeds <source dir> <out dir>.
#include "csi/csi_message.h"
#include "fuzz/fuzz_support.h"
#include "tests/csi/csi_harness.h"
#include "tests/csi/obj_builder.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace fs = std::filesystem;
using fuzz::Bytes;

namespace {

fs::path g_out;

void Write(const std::string& target, const std::string& name, const Bytes& bytes) {
    fs::create_directories(g_out / target);
    std::ofstream out(g_out / target / name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

Bytes Text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

Bytes FromHex(const std::string& hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

// The slip target's records: [n][n bytes] per read.
Bytes Reads(const std::vector<Bytes>& reads) {
    Bytes out;
    for (const Bytes& r : reads) {
        for (size_t at = 0; at < r.size() || at == 0; at += 255) {
            const size_t n = std::min<size_t>(255, r.size() - at);
            out.push_back(static_cast<uint8_t>(n));
            out.insert(out.end(), r.begin() + static_cast<long>(at),
                       r.begin() + static_cast<long>(at + n));
            if (n == 0)
                break;
        }
    }
    return out;
}

std::vector<std::pair<std::string, Bytes>> UdpVectors(const fs::path& source) {
    std::vector<std::pair<std::string, Bytes>> vectors;
    std::ifstream in(source / "fuzz/udp_vectors.txt");
    std::string name, hex;
    while (in >> name >> hex)
        vectors.emplace_back(name, FromHex(hex));
    return vectors;
}

void SlipSeeds(const fs::path& source) {
    Write("slip_receive", "leading_ends", Reads({{0xC0, 0xC0, 0x41, 0x42, 0xC0}}));
    Write("slip_receive", "esc_then_plain", Reads({{0x41, 0xDB, 0x42, 0xC0}}));
    const Bytes frame = fuzz::SlipFrame({0x01, 0xC0, 0xDB, 0x02, 0xDB, 0xDC});
    Write(
        "slip_receive", "split",
        Reads(
            {Bytes(frame.begin(), frame.begin() + 3), {}, Bytes(frame.begin() + 3, frame.end())}));
    Bytes two = frame;
    two.insert(two.end(), frame.begin(), frame.end());
    Write("slip_receive", "two_in_one_read", Reads({two}));
    Write("slip_receive", "longest", Reads({fuzz::SlipFrame(Bytes(1004, 0x55))}));
    Write("slip_receive", "oversized", Reads({fuzz::SlipFrame(Bytes(1100, 0x66)), frame}));
    int i = 0;
    for (const auto& v : UdpVectors(source))
        Write("slip_receive", "udp_" + std::to_string(i++) + "_" + v.first,
              Reads({fuzz::SlipFrame(v.second)}));
}

void UdpSeeds(const fs::path& source) {
    for (const auto& v : UdpVectors(source)) {
        for (uint8_t flags : {0x00, 0x01, 0x02, 0x08}) {
            Bytes seed = {flags};
            seed.insert(seed.end(), v.second.begin(), v.second.end());
            Write("udp_recvfrom", v.first + "_" + std::to_string(flags), seed);
        }
    }
}

void ObjSeeds() {
    for (size_t size : {28u, 100u, 1000u, 4000u})
        for (int fault = 0; fault <= static_cast<int>(ObjFault::OnlyEmptySlots); ++fault)
            Write("obj_file", "size" + std::to_string(size) + "_fault" + std::to_string(fault),
                  BuildObjFile(size, static_cast<ObjFault>(fault), 3));
    Write("obj_file", "empty_slots", BuildObjFileWithEmptySlots(500, 3, 4));
}

void CommandLineSeeds() {
    auto line = [](std::initializer_list<const char*> args) {
        Bytes out;
        for (const char* a : args) {
            out.insert(out.end(), a, a + std::strlen(a));
            out.push_back(0);
        }
        return out;
    };
    Write("command_line", "direct",
          line({"-comport", "2", "-baudrate", "96", "-directory", "dest", "-pipename", "p"}));
    Write("command_line", "modem",
          line({"-comport", "256", "-baudrate", "1152", "-directory", "d", "-pipename", "p",
                "-initstring", "ATZ", "-hangup-prefix", "+++", "-hangup-suffix", "ATH0"}));
    Write("command_line", "odd",
          line({"-COMPORT", "2", "-x", "-comport", " -2147483649", "-pipename"}));
    // Several directories: each creation walks into what it made, so later relative names
    // resolve from there.
    Write("command_line", "walks",
          line({"-directory", "q", "-directory", "..", "-directory", "q", "-directory", "."}));
}

void ProfileSeeds() {
    Write("profile", "sections",
          Text(std::string(1, '\0') + "[other]\nLevel=9\n [ CSI ] \n  Level =  1  \n"));
    Write("profile", "digits",
          Text(std::string(1, '\0') + "[CSI]\nLevel=-2x\nPath=\"  q  \"\r\n; c\n"));
    Write("profile", "empty", Text(std::string(1, '\0') + "[CSI]\nLevel=\n"));
}

// Engine op bytes (see csi_engine_fuzz.cpp): op 0 is a command, 2 rounds, 4 connect, 5 login,
// 6 announce a file, 7 the next piece; op 3 with type 11 is the file status query.
uint8_t CommandByte(int poster, uint32_t code, int flag) {
    for (int b = 0; b < 256; ++b)
        if ((b >> 2) % 3 == poster && 1 + b % 5 == static_cast<int>(code) && (b >> 4) % 3 == flag)
            return static_cast<uint8_t>(b);
    return 0;
}

void EngineSeeds() {
    Bytes call = {0, CommandByte(0, 2, 1), 0, CommandByte(1, 3, 0), 4, 1, 0, 2, 0, 3, 5, 0};
    call.insert(call.end(), {6, 2, 0x57, 0x13}); // a valid 1,000-byte file
    for (int piece = 0; piece < 16; ++piece)
        call.insert(call.end(), {7, 63});
    // Confirm as the communication task does, then the device asks for the outcome.
    call.insert(call.end(), {2, 4, 0, CommandByte(2, 4, 1), 2, 2, 3, 11, 3, 0});
    Write("csi_engine", "good_call", call);
    Bytes bad = call;
    bad[13] = 6; // the announce byte: fault 1, a wrong format word
    Write("csi_engine", "bad_file", bad);
    Write("csi_engine", "timeouts",
          {0, CommandByte(0, 2, 1), 0, CommandByte(1, 3, 0), 4, 1, 0, 2, 0, 3, 2, 255, 2, 255, 2,
           255});
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: fuzz_seeds <source dir> <out dir>\n");
        return 2;
    }
    const fs::path source = argv[1];
    g_out = argv[2];
    SlipSeeds(source);
    UdpSeeds(source);
    ObjSeeds();
    CommandLineSeeds();
    ProfileSeeds();
    EngineSeeds();
    return 0;
}
