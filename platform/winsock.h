// The socket calls, with the error numbers of the Windows Sockets interface. Every call sets the
// calling thread's last error (WSAGetLastError) to the mapped number when it fails. Sends never
// raise a signal: a closed peer is an error number.
#pragma once

#include <cstdint>
#include <netinet/in.h>
#include <string>

namespace winsock {

using TSocket = int;
constexpr TSocket INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;
constexpr uint32_t INADDR_NONE_ = 0xFFFFFFFFu;

enum : int {
    WSAEINTR = 10004,
    WSAEBADF = 10009,
    WSAEACCES = 10013,
    WSAEFAULT = 10014,
    WSAEINVAL = 10022,
    WSAEMFILE = 10024,
    WSAEWOULDBLOCK = 10035,
    WSAEINPROGRESS = 10036,
    WSAEALREADY = 10037,
    WSAENOTSOCK = 10038,
    WSAEDESTADDRREQ = 10039,
    WSAEMSGSIZE = 10040,
    WSAEPROTOTYPE = 10041,
    WSAENOPROTOOPT = 10042,
    WSAEPROTONOSUPPORT = 10043,
    WSAESOCKTNOSUPPORT = 10044,
    WSAEOPNOTSUPP = 10045,
    WSAEPFNOSUPPORT = 10046,
    WSAEAFNOSUPPORT = 10047,
    WSAEADDRINUSE = 10048,
    WSAEADDRNOTAVAIL = 10049,
    WSAENETDOWN = 10050,
    WSAENETUNREACH = 10051,
    WSAENETRESET = 10052,
    WSAECONNABORTED = 10053,
    WSAECONNRESET = 10054,
    WSAENOBUFS = 10055,
    WSAEISCONN = 10056,
    WSAENOTCONN = 10057,
    WSAESHUTDOWN = 10058,
    WSAETOOMANYREFS = 10059,
    WSAETIMEDOUT = 10060,
    WSAECONNREFUSED = 10061,
    WSAELOOP = 10062,
    WSAENAMETOOLONG = 10063,
    WSAEHOSTDOWN = 10064,
    WSAEHOSTUNREACH = 10065,
    WSAENOTEMPTY = 10066,
    WSAEPROCLIM = 10067,
    WSAEUSERS = 10068,
    WSAEDQUOT = 10069,
    WSAESTALE = 10070,
    WSAEREMOTE = 10071,
    WSASYSNOTREADY = 10091,
    WSAVERNOTSUPPORTED = 10092,
    WSANOTINITIALISED = 10093,
    WSAHOST_NOT_FOUND = 11001,
    WSATRY_AGAIN = 11002,
    WSANO_RECOVERY = 11003,
    WSANO_DATA = 11004,
};

// Socket news, as bits of a selection mask and as the event of a notification.
enum : long {
    FD_READ = 1,
    FD_WRITE = 2,
    FD_OOB = 4,
    FD_ACCEPT = 8,
    FD_CONNECT = 16,
    FD_CLOSE = 32
};

int WSAGetLastError();
void WSASetLastError(int Error);
// The Windows Sockets number for a C library error number (errno).
int ErrnoToWSA(int Errno);

// An IPv4 stream socket. Small writes go out at once (no coalescing delay), so a command that
// follows the message data is not held back waiting for an acknowledgement.
TSocket socket();
// Makes a close reset the connection at once (linger on, time 0).
int SetResetOnClose(TSocket S);
// True when the peer has closed its side (or the connection broke): no more data will come.
bool PeerClosed(TSocket S);
// Starts a connection. On a socket selected for notifications it always returns SOCKET_ERROR
// with WSAEWOULDBLOCK; the outcome, success or error, arrives as an FD_CONNECT notification.
int connect(TSocket S, const sockaddr_in& Address);
int send(TSocket S, const void* Data, int Length, int Flags);
// Receives (MSG_PEEK to look without taking). FD_READ and FD_CLOSE are reported again when
// the call leaves something behind that was already reported, or meets the end of the data.
int recv(TSocket S, void* Data, int Length, int Flags);
int closesocket(TSocket S);
int bind(TSocket S, const sockaddr_in& Address);
int listen(TSocket S, int Backlog);
TSocket accept(TSocket S, sockaddr_in* Address);
int getsockname(TSocket S, sockaddr_in* Address);
int gethostname(char* Name, int Length);
// Dotted text to an address in network order; INADDR_NONE_ when it is not one, 0 when empty.
uint32_t inet_addr(const char* Text);
// An address in network order as dotted text.
std::string inet_ntoa(uint32_t Address);

} // namespace winsock
