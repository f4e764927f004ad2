// Stateless socket helpers shared by the network layer: address tests and conversions, the
// address-class tests that decide whether an address is public, socket-option setters, errno
// classification and the two blocking host lookups (worker threads only). Nothing here logs.
//
// A transport object serves exactly one family, given as `ipv4` (true AF_INET, false AF_INET6).
// An empty address text converts to the family's any-address.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tovali {

bool IsIPv4(const std::string& text);
bool IsIPv6(const std::string& text);

// Fill family, port and address of a zeroed structure; false when the text does not convert.
bool ToSockAddrV4(const std::string& text, uint16_t port, sockaddr_in* out);
bool ToSockAddrV6(const std::string& text, uint16_t port, sockaddr_in6* out);
// Room for either family's socket address, zeroed at construction.
struct SockAddr {
  SockAddr();
  sockaddr* get() { return reinterpret_cast<sockaddr*>(&storage); }
  sockaddr_storage storage;
};
// Converts for the family given by `ipv4` and sets `len` to that family's address length;
// false when the text is not an address of that family.
bool ToSockAddr(bool ipv4, const std::string& text, uint16_t port, SockAddr* out, socklen_t* len);
// AF_INET gives the IPv4 text; any other family is read as AF_INET6.
std::string SockAddrToText(const sockaddr* addr);
uint16_t SockAddrPort(const sockaddr* addr);

// Class tests; each is false for text that is not an address of its family.
bool IsPrivateIPv4(const std::string& text);
bool IsReservedIPv4(const std::string& text);
bool IsPrivateIPv6(const std::string& text);
bool IsReservedIPv6(const std::string& text);

// Option setters return setsockopt's result (0, or -1 with errno set).
int SetNoDelay(int fd, bool on);
int SetReuseAddr(int fd, bool on);
int SetReusePort(int fd, bool on);
// An IPv6 socket that serves IPv6 only: no IPv4-mapped peers.
int SetV6Only(int fd, bool on);
// Leaves the choice of the local port of a bind to port 0 to connect, which may then reuse a
// port already taken towards other peers: the many connections of one source address are not
// limited to one ephemeral port each (IP_BIND_ADDRESS_NO_PORT).
int SetBindAddressNoPort(int fd, bool on);
// Makes close() send a reset and skip TIME_WAIT (SO_LINGER on, 0 s).
int SetLingerReset(int fd);
// Uses at most the first 16 bytes of `nic`; a null or empty name sets nothing and returns 0.
int BindToDevice(int fd, const char* nic);
// Idle and interval are given in ms and set in whole seconds; stops at the first failure.
int SetKeepAlive(int fd, bool on, int idle_ms, int interval_ms, int count);
int SetSendBufferSize(int fd, int bytes);
int GetSendBufferSize(int fd, int* bytes);

// Flags for every send of the transport: a reset peer gives EPIPE, never SIGPIPE.
int SendFlags();
int LastError();
bool IsAgain(int err);
bool IsInterrupted(int err);
bool IsInProgress(int err);

// Blocking lookups (getaddrinfo) for the DNS worker threads: address texts of the requested
// family in the order delivered, without duplicates; empty on any error.
std::vector<std::string> LookupAddresses(const std::string& host, bool ipv4);
// Both families at once: (IPv4 list, IPv6 list).
std::pair<std::vector<std::string>, std::vector<std::string>> LookupAllAddresses(
    const std::string& host);

}  // namespace tovali
