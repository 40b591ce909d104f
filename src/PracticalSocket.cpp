#include "PracticalSocket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// Set by the first successful library start-up and never cleared. Atomic only so that
// sockets made in two threads at once are not a data race; the order of steps is as if
// plain.
std::atomic<bool> initialized{false};

// Linux sockets need no library start-up or clean-up; the steps stay so that the order of
// creation does.
bool startUpLibrary() {
    return true;
}
int cleanUpLibrary() {
    return 0;
}

// Every call below that takes or fills an address record is given this length.
constexpr socklen_t ADDR_LEN = sizeof(sockaddr_in);
static_assert(sizeof(sockaddr_in) == 16, "IPv4 address record is 16 bytes");

std::string errnoText(int err) {
    char buf[256];
    // GNU strerror_r: the same text strerror gives, without its shared buffer.
    return std::string(strerror_r(err, buf, sizeof buf));
}

// Throws message + ": " + the text of errno as the failing call left it.
[[noreturn]] void throwSys(const char* message) {
    const int err = errno;
    std::string text(message);
    errno = err;
    throw SocketException(text, true);
}

std::string dottedDecimal(const in_addr& address) {
    char buf[INET_ADDRSTRLEN];
    if (inet_ntop(AF_INET, &address, buf, sizeof buf) == nullptr) return std::string();
    return std::string(buf);
}

sockaddr* asSockaddr(sockaddr_in& addr) {
    return reinterpret_cast<sockaddr*>(&addr);
}

// The local (getsockname) or peer (getpeername) address of a socket; `failure` is thrown with
// the system text when the call fails.
sockaddr_in queryName(int (*call)(int, sockaddr*, socklen_t*), int fd, const char* failure) {
    sockaddr_in addr;
    socklen_t addr_len = ADDR_LEN;
    if (call(fd, asSockaddr(addr), &addr_len) < 0) throwSys(failure);
    return addr;
}

// Host name or dotted-decimal text plus port into addr. Only the first address found is
// used; a failed lookup carries no system text.
void fillAddr(const std::string& address, unsigned short port, sockaddr_in& addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    if (inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) {
        addrinfo hints;
        std::memset(&hints, 0, sizeof hints);
        hints.ai_family = AF_INET;
        addrinfo* found = nullptr;
        if (getaddrinfo(address.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
            throw SocketException("Failed to resolve name (gethostbyname())", false);
        }
        addr.sin_addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
        freeaddrinfo(found);
    }
    addr.sin_port = htons(port);
}

size_t byteCount(int bufferLen) {
    return bufferLen < 0 ? 0 : static_cast<size_t>(bufferLen);
}

}  // namespace

// ---- SocketException ---------------------------------------------------------------------

SocketException::SocketException(const std::string& message, bool inclSysMsg) noexcept
    : userMessage(message) {
    if (inclSysMsg) {
        const int err = errno;
        userMessage.append(": ");
        userMessage.append(errnoText(err));
    }
}

SocketException::~SocketException() noexcept = default;

const char* SocketException::what() const noexcept {
    return userMessage.c_str();
}

// ---- Socket ------------------------------------------------------------------------------

Socket::Socket(int type, int protocol) : sockDesc(-1) {
    if (!initialized.load(std::memory_order_relaxed)) {
        if (!startUpLibrary()) throw SocketException("Unable to load WinSock DLL", false);
        initialized.store(true, std::memory_order_relaxed);
    }
    sockDesc = ::socket(AF_INET, type | SOCK_CLOEXEC, protocol);
    if (sockDesc < 0) throwSys("Socket creation failed (socket())");
}

Socket::Socket(int sockDesc_) : sockDesc(sockDesc_) {}

Socket::~Socket() {
    ::close(sockDesc);
    sockDesc = -1;
}

std::string Socket::getLocalAddress() {
    return dottedDecimal(
        queryName(getsockname, sockDesc, "Fetch of local address failed (getsockname())").sin_addr);
}

unsigned short Socket::getLocalPort() {
    return ntohs(
        queryName(getsockname, sockDesc, "Fetch of local port failed (getsockname())").sin_port);
}

void Socket::setLocalPort(unsigned short localPort) {
    sockaddr_in localAddr;
    std::memset(&localAddr, 0, sizeof localAddr);
    localAddr.sin_family = AF_INET;
    localAddr.sin_addr.s_addr = htonl(INADDR_ANY);
    localAddr.sin_port = htons(localPort);
    if (bind(sockDesc, asSockaddr(localAddr), ADDR_LEN) < 0) {
        throwSys("Set of local port failed (bind())");
    }
}

void Socket::setLocalAddressAndPort(const std::string& localAddress, unsigned short localPort) {
    sockaddr_in localAddr;
    fillAddr(localAddress, localPort, localAddr);
    if (bind(sockDesc, asSockaddr(localAddr), ADDR_LEN) < 0) {
        throwSys("Set of local address and port failed (bind())");
    }
}

void Socket::cleanUp() {
    // initialized stays true: no socket is to be made after this.
    if (cleanUpLibrary() != 0) throw SocketException("WSACleanup() failed", false);
}

unsigned short Socket::resolveService(const std::string& service, const std::string& protocol) {
    servent entry;
    servent* found = nullptr;
    char buf[1024];
    if (getservbyname_r(service.c_str(), protocol.c_str(), &entry, buf, sizeof buf, &found) == 0 &&
        found != nullptr) {
        return ntohs(static_cast<uint16_t>(found->s_port));
    }
    // As atoi reads it, then the low 16 bits: "70000" -> 4464, "-1" -> 65535.
    const long number = std::strtol(service.c_str(), nullptr, 10);
    return static_cast<unsigned short>(static_cast<unsigned long>(number) & 0xFFFFu);
}

// ---- CommunicatingSocket -----------------------------------------------------------------

CommunicatingSocket::CommunicatingSocket(int type, int protocol) : Socket(type, protocol) {}

CommunicatingSocket::CommunicatingSocket(int newConnSD) : Socket(newConnSD) {}

void CommunicatingSocket::connect(const std::string& foreignAddress, unsigned short foreignPort) {
    sockaddr_in destAddr;
    fillAddr(foreignAddress, foreignPort, destAddr);
    if (::connect(sockDesc, asSockaddr(destAddr), ADDR_LEN) < 0) {
        throwSys("Connect failed (connect())");
    }
}

void CommunicatingSocket::send(const void* buffer, int bufferLen) {
    // MSG_NOSIGNAL: a stream whose peer is gone fails with EPIPE instead of killing the
    // process with SIGPIPE.
    if (bufferLen < 0) {
        errno = EINVAL;
        throwSys("Send failed (send())");
    }
    if (::send(sockDesc, buffer, byteCount(bufferLen), MSG_NOSIGNAL) < 0) {
        throwSys("Send failed (send())");
    }
}

int CommunicatingSocket::recv(void* buffer, int bufferLen) {
    if (bufferLen < 0) {
        errno = EINVAL;
        throwSys("Received failed (recv())");
    }
    const ssize_t rtn = ::recv(sockDesc, buffer, byteCount(bufferLen), 0);
    if (rtn < 0) throwSys("Received failed (recv())");
    return static_cast<int>(rtn);
}

std::string CommunicatingSocket::getForeignAddress() {
    return dottedDecimal(
        queryName(getpeername, sockDesc, "Fetch of foreign address failed (getpeername())")
            .sin_addr);
}

unsigned short CommunicatingSocket::getForeignPort() {
    return ntohs(
        queryName(getpeername, sockDesc, "Fetch of foreign port failed (getpeername())").sin_port);
}

// ---- TCPSocket ---------------------------------------------------------------------------

TCPSocket::TCPSocket() : CommunicatingSocket(SOCK_STREAM, IPPROTO_TCP) {}

// A throw from connect unwinds the base, which closes the new descriptor.
TCPSocket::TCPSocket(const std::string& foreignAddress, unsigned short foreignPort)
    : CommunicatingSocket(SOCK_STREAM, IPPROTO_TCP) {
    connect(foreignAddress, foreignPort);
}

TCPSocket::TCPSocket(int newConnSD) : CommunicatingSocket(newConnSD) {}

// ---- TCPServerSocket ---------------------------------------------------------------------

TCPServerSocket::TCPServerSocket(unsigned short localPort, int queueLen)
    : Socket(SOCK_STREAM, IPPROTO_TCP) {
    setLocalPort(localPort);
    setListen(queueLen);
}

TCPServerSocket::TCPServerSocket(const std::string& localAddress, unsigned short localPort,
                                 int queueLen)
    : Socket(SOCK_STREAM, IPPROTO_TCP) {
    setLocalAddressAndPort(localAddress, localPort);
    setListen(queueLen);
}

TCPSocket* TCPServerSocket::accept() {
    const int newConnSD = ::accept4(sockDesc, nullptr, nullptr, SOCK_CLOEXEC);
    if (newConnSD < 0) throwSys("Accept failed (accept())");
    return new TCPSocket(newConnSD);
}

void TCPServerSocket::setListen(int queueLen) {
    if (listen(sockDesc, queueLen) < 0) throwSys("Set listening socket failed (listen())");
}

// ---- UDPSocket ---------------------------------------------------------------------------

UDPSocket::UDPSocket() : CommunicatingSocket(SOCK_DGRAM, IPPROTO_UDP) {
    setBroadcast();
}

UDPSocket::UDPSocket(unsigned short localPort) : CommunicatingSocket(SOCK_DGRAM, IPPROTO_UDP) {
    setLocalPort(localPort);
    setBroadcast();
}

UDPSocket::UDPSocket(const std::string& localAddress, unsigned short localPort)
    : CommunicatingSocket(SOCK_DGRAM, IPPROTO_UDP) {
    setLocalAddressAndPort(localAddress, localPort);
    setBroadcast();
}

void UDPSocket::setBroadcast() {
    // Refused permission is no failure: the socket works without broadcast.
    int broadcastPermission = 1;
    setsockopt(sockDesc, SOL_SOCKET, SO_BROADCAST, &broadcastPermission,
               sizeof broadcastPermission);
}

void UDPSocket::disconnect() {
    sockaddr_in nullAddr;
    std::memset(&nullAddr, 0, sizeof nullAddr);
    nullAddr.sin_family = AF_UNSPEC;
    if (::connect(sockDesc, asSockaddr(nullAddr), ADDR_LEN) < 0 && errno != EAFNOSUPPORT) {
        throwSys("Disconnect failed (connect())");
    }
}

void UDPSocket::sendTo(const void* buffer, int bufferLen, const std::string& foreignAddress,
                       unsigned short foreignPort) {
    sockaddr_in destAddr;
    fillAddr(foreignAddress, foreignPort, destAddr);
    if (bufferLen < 0) {
        errno = EINVAL;
        throwSys("Send failed (sendto())");
    }
    const ssize_t sent = ::sendto(sockDesc, buffer, byteCount(bufferLen), MSG_NOSIGNAL,
                                  asSockaddr(destAddr), ADDR_LEN);
    if (sent != bufferLen) throwSys("Send failed (sendto())");
}

int UDPSocket::recvFrom(void* buffer, int bufferLen, std::string& sourceAddress,
                        unsigned short& sourcePort) {
    sockaddr_in clntAddr;
    socklen_t addrLen = ADDR_LEN;
    ssize_t rtn;
    if (bufferLen < 0) {
        errno = EINVAL;
        rtn = -1;
    } else {
        rtn = ::recvfrom(sockDesc, buffer, byteCount(bufferLen), 0, asSockaddr(clntAddr), &addrLen);
    }
    if (rtn < 0) {
        // The sender record is not filled on a failed receive; keep errno for the caller.
        const int err = errno;
        sourceAddress.clear();
        sourcePort = 0;
        errno = err;
        return static_cast<int>(rtn);
    }
    sourceAddress = dottedDecimal(clntAddr.sin_addr);
    sourcePort = ntohs(clntAddr.sin_port);
    return static_cast<int>(rtn);
}

void UDPSocket::setMulticastTTL(unsigned char multicastTTL) {
    if (setsockopt(sockDesc, IPPROTO_IP, IP_MULTICAST_TTL, &multicastTTL, 1) < 0) {
        throwSys("Multicast TTL set failed (setsockopt())");
    }
}

namespace {
ip_mreq groupRequest(const std::string& multicastGroup) {
    ip_mreq multicastRequest;
    std::memset(&multicastRequest, 0, sizeof multicastRequest);
    // No lookup: anything not dotted-decimal becomes INADDR_NONE and the kernel refuses it.
    multicastRequest.imr_multiaddr.s_addr = inet_addr(multicastGroup.c_str());
    multicastRequest.imr_interface.s_addr = htonl(INADDR_ANY);
    return multicastRequest;
}
}  // namespace

void UDPSocket::joinGroup(const std::string& multicastGroup) {
    const ip_mreq multicastRequest = groupRequest(multicastGroup);
    if (setsockopt(sockDesc, IPPROTO_IP, IP_ADD_MEMBERSHIP, &multicastRequest,
                   sizeof multicastRequest) < 0) {
        throwSys("Multicast group join failed (setsockopt())");
    }
}

void UDPSocket::leaveGroup(const std::string& multicastGroup) {
    const ip_mreq multicastRequest = groupRequest(multicastGroup);
    if (setsockopt(sockDesc, IPPROTO_IP, IP_DROP_MEMBERSHIP, &multicastRequest,
                   sizeof multicastRequest) < 0) {
        throwSys("Multicast group leave failed (setsockopt())");
    }
}

int UDPSocket::setReceiveBufferSize(int bytes) {
    // SO_RCVBUFFORCE passes net.core.rmem_max but needs CAP_NET_ADMIN.
    if (setsockopt(sockDesc, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) < 0 &&
        setsockopt(sockDesc, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) < 0) {
        return -1;
    }
    int effective = 0;
    socklen_t len = sizeof effective;
    if (getsockopt(sockDesc, SOL_SOCKET, SO_RCVBUF, &effective, &len) < 0) return -1;
    return effective;
}

void UDPSocket::setReceiveTimeout(int milliseconds) {
    if (milliseconds < 0) milliseconds = 0;
    timeval timeout;
    timeout.tv_sec = milliseconds / 1000;
    timeout.tv_usec = static_cast<suseconds_t>((milliseconds % 1000) * 1000);
    setsockopt(sockDesc, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}

int UDPSocket::recvBatch(struct mmsghdr* msgs, unsigned int count, int flags) {
    return ::recvmmsg(sockDesc, msgs, count, flags, nullptr);
}
