// A small class layer over IPv4 BSD sockets: one exception type, a base that owns the
// descriptor, a datagram socket and the stream pair (connecting socket, listening socket).
// Addresses travel as dotted-decimal text or host names, ports as host-order numbers.
#pragma once

#include <exception>
#include <string>

struct mmsghdr;

// Every failure of the layer. what() is the fixed text of the failed operation, plus
// ": " and the system's error text when a system call failed:
//   "Set of local port failed (bind()): Address already in use"
class SocketException : public std::exception {
  public:
    // inclSysMsg appends ": " + the text of the current errno, so build it right after
    // the failing call.
    SocketException(const std::string& message, bool inclSysMsg) noexcept;
    ~SocketException() noexcept override;
    const char* what() const noexcept override;

  private:
    std::string userMessage;
};

// Owns one descriptor from the end of its constructor to its destructor.
class Socket {
  public:
    ~Socket();

    std::string getLocalAddress();
    unsigned short getLocalPort();
    void setLocalPort(unsigned short localPort);  // bind to every local interface
    void setLocalAddressAndPort(const std::string& localAddress, unsigned short localPort);

    // Ends the process's use of the socket library (nothing to do on Linux).
    static void cleanUp();
    // Service name to port: "echo"/"udp" -> 7; a number is taken as it is, cut to 16 bits
    // ("70000" -> 4464); anything else -> 0.
    static unsigned short resolveService(const std::string& service, const std::string& protocol);

  protected:
    Socket(int type, int protocol);
    explicit Socket(int sockDesc);

    int sockDesc;

  private:
    Socket(const Socket& sock) = delete;
    Socket& operator=(const Socket& sock) = delete;
};

// A socket with a peer: a connected stream, or a datagram socket with a default peer.
class CommunicatingSocket : public Socket {
  public:
    void connect(const std::string& foreignAddress, unsigned short foreignPort);
    // One send call; a short count is accepted and the rest is not resent.
    void send(const void* buffer, int bufferLen);
    // One receive call; 0 when a stream peer has closed its side.
    int recv(void* buffer, int bufferLen);
    std::string getForeignAddress();
    unsigned short getForeignPort();

  protected:
    CommunicatingSocket(int type, int protocol);
    explicit CommunicatingSocket(int newConnSD);
};

class TCPSocket : public CommunicatingSocket {
  public:
    TCPSocket();
    TCPSocket(const std::string& foreignAddress, unsigned short foreignPort);

  private:
    friend class TCPServerSocket;
    explicit TCPSocket(int newConnSD);
};

class TCPServerSocket : public Socket {
  public:
    TCPServerSocket(unsigned short localPort, int queueLen);
    TCPServerSocket(const std::string& localAddress, unsigned short localPort, int queueLen);

    // Blocks for the next connection; the caller owns (and deletes) the result.
    TCPSocket* accept();

  private:
    void setListen(int queueLen);
};

class UDPSocket : public CommunicatingSocket {
  public:
    UDPSocket();
    explicit UDPSocket(unsigned short localPort);
    UDPSocket(const std::string& localAddress, unsigned short localPort);

    // Removes the default peer set by connect.
    void disconnect();
    // Resolves foreignAddress on every call; a short send is a failure.
    void sendTo(const void* buffer, int bufferLen, const std::string& foreignAddress,
                unsigned short foreignPort);
    // Never throws. Returns the receive's result: bytes placed (at most bufferLen, no
    // terminating zero), or negative with errno set, sourceAddress "" and sourcePort 0.
    int recvFrom(void* buffer, int bufferLen, std::string& sourceAddress,
                 unsigned short& sourcePort);

    void setMulticastTTL(unsigned char multicastTTL);
    void joinGroup(const std::string& multicastGroup);   // dotted-decimal only, no lookup
    void leaveGroup(const std::string& multicastGroup);  // likewise

    // For the server's receiver; none of these throws.
    // Asks for a kernel receive buffer of `bytes` (forced past the limit where allowed);
    // returns the size the kernel then reports (Linux doubles the request), or -1.
    int setReceiveBufferSize(int bytes);
    // A blocking receive gives up after this long: -1 with errno EAGAIN. 0 waits forever.
    void setReceiveTimeout(int milliseconds);
    // recvmmsg over the caller's prepared array; result and errno unchanged.
    int recvBatch(struct mmsghdr* msgs, unsigned int count, int flags);
    int getDescriptor() const { return sockDesc; }

  private:
    void setBroadcast();
};
