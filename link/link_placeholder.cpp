// Placeholder link layers that attach nothing; replaced by the real SLIP and UDP layers.
#include "link/slip.h"
#include "link/udp.h"

int link_open() { return -1; }
void link_close(int) {}
int slip_send(const uint8_t*, int) { return 0; }
int slip_receive(uint8_t*) { return 0; }
int udp_socket(int, int, int) { return 0; }
int udp_bind(int, const csi_sockaddr_in*, int) { return 0; }
int udp_close(int) { return 0; }
int inet_setup(uint32_t, uint32_t, uint16_t, csi_sockaddr_in*) { return -1; }
int udp_recvfrom(int, uint8_t*, int, int, csi_sockaddr_in*, int*) { return 0; }
int udp_sendto(int, const uint8_t*, int, int, const csi_sockaddr_in*, int) { return 0; }
