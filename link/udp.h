// The system's own one-endpoint UDP/IPv4 layer over SLIP, in socket-shaped calls.
// Runs only on the CSI task's thread.
#pragma once
#include <cstdint>

// 16 bytes in the layout of a BSD IPv4 socket address: port and address in network byte order.
struct csi_sockaddr_in {
    uint8_t sin_len;
    uint8_t sin_family;
    uint16_t sin_port;
    uint32_t sin_addr;
    uint8_t sin_zero[8];
};
static_assert(sizeof(csi_sockaddr_in) == 16, "socket address record must be 16 bytes");

// The not-set local address 192.192.192.192 and the server mode peer, in host byte order.
constexpr uint32_t CSI_ADDR_NOT_SET = 0xC0C0C0C0u;
constexpr uint32_t CSI_ADDR_PEER = 0xC0090904u; // 192.9.9.4
constexpr uint16_t CSI_PORT = 8888;

int udp_socket(int family, int type, int protocol);
int udp_bind(int socket, const csi_sockaddr_in* address, int length);
int udp_close(int socket);

// Addresses and port in host byte order; fills *address with the peer at the port.
int inet_setup(uint32_t localAddress, uint32_t peerAddress, uint16_t port,
               csi_sockaddr_in* address);

// Payload length of one accepted datagram, or 0.
int udp_recvfrom(int socket, uint8_t* buffer, int capacity, int flags, csi_sockaddr_in* from,
                 int* fromLength);
// The payload length when the packet was handed to the link, 0 otherwise.
int udp_sendto(int socket, const uint8_t* payload, int length, int flags, const csi_sockaddr_in* to,
               int toLength);

// Back to the state of a fresh process: no endpoint, nothing learned (tests only).
void udp_reset_for_tests();
