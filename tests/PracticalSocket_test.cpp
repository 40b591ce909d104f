// The socket layer over loopback only. Senders bind 127.0.0.2 / 127.0.0.3 so that the
// reported sender differs from the receiver's own address.
#include "PracticalSocket.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "TestUtil.h"

static_assert(!std::is_copy_constructible_v<UDPSocket> && !std::is_copy_assignable_v<UDPSocket>,
              "one object owns each descriptor");
static_assert(!std::is_copy_constructible_v<TCPSocket> && !std::is_copy_assignable_v<TCPSocket>);
static_assert(!std::is_copy_constructible_v<TCPServerSocket>);
static_assert(std::is_base_of_v<std::exception, SocketException>);

namespace {

const char* const RESOLVE_FAILED = "Failed to resolve name (gethostbyname())";
const char* const BAD_HOST = "no-such-host.invalid";

std::string withSys(const std::string& text, int err) {
    return text + ": " + strerror(err);
}

size_t openDescriptors() {
    return testutil::listNames("/proc/self/fd").size();
}

// what() of the SocketException that f throws, or a marker when it throws none.
std::string thrownBy(const std::function<void()>& f) {
    try {
        f();
    } catch (const SocketException& e) {
        return e.what();
    }
    return "<nothing thrown>";
}

// The listening socket's descriptor, for option checks.
struct PeekServer : TCPServerSocket {
    using TCPServerSocket::TCPServerSocket;
    int fd() const { return sockDesc; }
};

// A bound but not listening TCP port: connects to it are refused, and no one else can take
// the port meanwhile.
struct RefusingPort {
    TCPSocket holder;
    unsigned short port;
    RefusingPort() {
        holder.setLocalAddressAndPort("127.0.0.1", 0);
        port = holder.getLocalPort();
    }
};

// A receiver on an ephemeral port of every interface, giving up on a receive after 2 s.
struct Receiver {
    UDPSocket sock{static_cast<unsigned short>(0)};
    unsigned short port = sock.getLocalPort();
    Receiver() { sock.setReceiveTimeout(2000); }

    struct Datagram {
        int len = -2;
        std::string data, address;
        unsigned short port = 0;
    };
    Datagram next() {
        Datagram d;
        char buf[2048];
        d.len = sock.recvFrom(buf, sizeof buf, d.address, d.port);
        if (d.len > 0) d.data.assign(buf, static_cast<size_t>(d.len));
        return d;
    }
};

}  // namespace

// ---- Exception and constructors ----------------------------------------------------------

TEST(SocketExceptionTest, SystemTextIsThatOfErrnoWhenBuilt) {
    errno = EADDRINUSE;
    SocketException withText("Set of local port failed (bind())", true);
    errno = 0;
    EXPECT_EQ(withSys("Set of local port failed (bind())", EADDRINUSE), withText.what());
    EXPECT_STREQ(RESOLVE_FAILED, SocketException(RESOLVE_FAILED, false).what());
}

// Every constructor that throws after creating its descriptor closes it again.
TEST(SocketConstructionTest, FailuresThrowTheirMessageAndLeaveNoDescriptor) {
    UDPSocket udpHolder(static_cast<unsigned short>(0));
    const unsigned short udpTaken = udpHolder.getLocalPort();
    TCPServerSocket tcpHolder(0, 5);
    const unsigned short tcpTaken = tcpHolder.getLocalPort();
    RefusingPort refusing;

    struct Case {
        const char* what;
        std::function<void()> construct;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"UDP port taken", [&] { UDPSocket s(udpTaken); },
         withSys("Set of local port failed (bind())", EADDRINUSE)},
        {"UDP address and port taken", [&] { UDPSocket s("127.0.0.1", udpTaken); },
         withSys("Set of local address and port failed (bind())", EADDRINUSE)},
        {"UDP unresolvable local address", [&] { UDPSocket s(BAD_HOST, 0); }, RESOLVE_FAILED},
        {"TCP listen on taken port", [&] { TCPServerSocket s(tcpTaken, 5); },
         withSys("Set of local port failed (bind())", EADDRINUSE)},
        {"TCP listen on taken address and port",
         [&] { TCPServerSocket s("127.0.0.1", tcpTaken, 5); },
         withSys("Set of local address and port failed (bind())", EADDRINUSE)},
        {"TCP listen on unresolvable address", [&] { TCPServerSocket s(BAD_HOST, 0, 5); },
         RESOLVE_FAILED},
        {"TCP connect refused", [&] { TCPSocket s("127.0.0.1", refusing.port); },
         withSys("Connect failed (connect())", ECONNREFUSED)},
        {"TCP connect to unresolvable host", [&] { TCPSocket s(BAD_HOST, 80); }, RESOLVE_FAILED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const size_t before = openDescriptors();
        EXPECT_EQ(c.expected, thrownBy(c.construct));
        EXPECT_EQ(before, openDescriptors());
    }

    // The count does see a socket's descriptor, and its release.
    const size_t before = openDescriptors();
    {
        UDPSocket s;
        EXPECT_EQ(before + 1, openDescriptors());
    }
    EXPECT_EQ(before, openDescriptors());
}

TEST(SocketConstructionTest, EveryDescriptorIsCloseOnExec) {
    UDPSocket udp;
    PeekServer server(0, 5);
    TCPSocket client("127.0.0.1", server.getLocalPort());
    std::unique_ptr<TCPSocket> accepted(server.accept());

    int sockets = 0;
    for (const std::string& name : testutil::listNames("/proc/self/fd")) {
        const int fd = std::stoi(name);
        struct stat sb;
        if (fstat(fd, &sb) != 0 || !S_ISSOCK(sb.st_mode)) continue;
        ++sockets;
        EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC) << "descriptor " << fd;
    }
    EXPECT_GE(sockets, 4);
}

// ---- Datagrams ---------------------------------------------------------------------------

TEST(UDPSocketTest, RecvFromReportsLengthSenderAndPort) {
    Receiver rx;
    UDPSocket tx("127.0.0.2", 0);
    EXPECT_EQ("127.0.0.2", tx.getLocalAddress());
    const unsigned short txPort = tx.getLocalPort();
    ASSERT_NE(0, txPort);

    tx.sendTo("hello", 5, "127.0.0.1", rx.port);
    char buf[32];
    std::memset(buf, 'X', sizeof buf);
    std::string address;
    unsigned short port = 0;
    ASSERT_EQ(5, rx.sock.recvFrom(buf, sizeof buf, address, port));
    EXPECT_EQ("hello", std::string(buf, 5));
    EXPECT_EQ('X', buf[5]) << "no terminating zero is written";
    EXPECT_EQ("127.0.0.2", address);
    EXPECT_EQ(txPort, port);

    // An empty datagram gives 0 and still names its sender.
    UDPSocket other("127.0.0.3", 0);
    other.sendTo("", 0, "127.0.0.1", rx.port);
    const Receiver::Datagram empty = rx.next();
    EXPECT_EQ(0, empty.len);
    EXPECT_EQ("127.0.0.3", empty.address);
    EXPECT_EQ(other.getLocalPort(), empty.port);
}

TEST(UDPSocketTest, LongDatagramIsCutAtBufferLenWithoutOverrun) {
    Receiver rx;
    UDPSocket tx("127.0.0.2", 0);
    std::string payload;
    for (int i = 0; i < 100; ++i) payload += static_cast<char>('a' + i % 26);
    tx.sendTo(payload.data(), static_cast<int>(payload.size()), "127.0.0.1", rx.port);
    tx.sendTo("next", 4, "127.0.0.1", rx.port);

    // 16 guard bytes on either side of a 16-byte window.
    char buf[48];
    std::memset(buf, 0x5A, sizeof buf);
    std::string address;
    unsigned short port = 0;
    EXPECT_EQ(16, rx.sock.recvFrom(buf + 16, 16, address, port));
    EXPECT_EQ(payload.substr(0, 16), std::string(buf + 16, 16));
    for (int i : {0, 15, 32, 47}) EXPECT_EQ(0x5A, buf[i]) << "guard byte " << i;
    EXPECT_EQ("127.0.0.2", address);

    // The cut-off rest is gone: the next receive is the next datagram.
    EXPECT_EQ("next", rx.next().data);
}

TEST(UDPSocketTest, FailedReceiveReturnsNegativeWithoutThrowing) {
    UDPSocket rx(static_cast<unsigned short>(0));
    rx.setReceiveTimeout(50);
    char buf[16];
    std::string address = "stale";
    unsigned short port = 99;
    const auto start = std::chrono::steady_clock::now();
    const int got = rx.recvFrom(buf, sizeof buf, address, port);
    const int err = errno;
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(-1, got);
    EXPECT_TRUE(err == EAGAIN || err == EWOULDBLOCK) << strerror(err);
    EXPECT_EQ("", address);
    EXPECT_EQ(0, port);
    EXPECT_GE(waited, std::chrono::milliseconds(40));
    EXPECT_LT(waited, std::chrono::seconds(5));
}

TEST(UDPSocketTest, ResolveServiceByNameThenNumber) {
    struct Case {
        const char* service;
        unsigned short port;
    };
    const std::vector<Case> cases = {
        {"70000", 4464},  // cut to the low 16 bits
        {"514", 514},    {"  42abc", 42}, {"-1", 65535}, {"nonsense", 0}, {"", 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.port, Socket::resolveService(c.service, "udp")) << '"' << c.service << '"';
    }
    // The name only where this machine's services database has it.
    std::istringstream services(testutil::readFile("/etc/services"));
    std::string line;
    while (std::getline(services, line)) {
        std::istringstream fields(line);
        std::string name, portAndProtocol;
        if (fields >> name >> portAndProtocol && name == "echo" && portAndProtocol == "7/udp") {
            EXPECT_EQ(7, Socket::resolveService("echo", "udp"));
            return;
        }
    }
}

TEST(UDPSocketTest, SendToUnresolvableNameThrowsResolveTextOnly) {
    UDPSocket tx;
    EXPECT_EQ(RESOLVE_FAILED, thrownBy([&] { tx.sendTo("x", 1, BAD_HOST, 9); }));
}

TEST(UDPSocketTest, ConnectSetsTheDefaultPeerUntilDisconnect) {
    Receiver rx;
    UDPSocket tx("127.0.0.2", 0);
    tx.connect("127.0.0.1", rx.port);
    EXPECT_EQ("127.0.0.1", tx.getForeignAddress());
    EXPECT_EQ(rx.port, tx.getForeignPort());

    tx.send("abc", 3);
    const Receiver::Datagram d = rx.next();
    EXPECT_EQ("abc", d.data);
    EXPECT_EQ("127.0.0.2", d.address);

    rx.sock.sendTo("back", 4, "127.0.0.2", tx.getLocalPort());
    char buf[16];
    ASSERT_EQ(4, tx.recv(buf, sizeof buf));
    EXPECT_EQ("back", std::string(buf, 4));

    tx.disconnect();
    EXPECT_EQ(withSys("Fetch of foreign address failed (getpeername())", ENOTCONN),
              thrownBy([&] { tx.getForeignAddress(); }));
    EXPECT_EQ(withSys("Fetch of foreign port failed (getpeername())", ENOTCONN),
              thrownBy([&] { tx.getForeignPort(); }));

    // Without a peer there is nothing to remove: still no failure.
    UDPSocket fresh;
    EXPECT_NO_THROW(fresh.disconnect());
}

TEST(UDPSocketTest, SocketOptions) {
    UDPSocket s;
    const int fd = s.getDescriptor();
    int broadcast = 0;
    socklen_t len = sizeof broadcast;
    ASSERT_EQ(0, getsockopt(fd, SOL_SOCKET, SO_BROADCAST, &broadcast, &len));
    EXPECT_EQ(1, broadcast) << "every UDPSocket has broadcast permission";

    s.setMulticastTTL(7);
    unsigned char ttl = 0;
    len = sizeof ttl;
    ASSERT_EQ(0, getsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, &len));
    EXPECT_EQ(7, ttl);

    // No lookup: text that is not dotted-decimal reaches the kernel as INADDR_NONE.
    EXPECT_EQ(0u, thrownBy([&] {
                      s.joinGroup("not-an-address");
                  }).rfind("Multicast group join failed (setsockopt()): ", 0));
    EXPECT_EQ(0u, thrownBy([&] {
                      s.leaveGroup("not-an-address");
                  }).rfind("Multicast group leave failed (setsockopt()): ", 0));

    // Linux reports twice the request; past net.core.rmem_max only with privilege.
    const int effective = s.setReceiveBufferSize(1 << 20);
    int reported = 0;
    len = sizeof reported;
    ASSERT_EQ(0, getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &reported, &len));
    EXPECT_EQ(reported, effective);
    if (geteuid() == 0) {
        EXPECT_EQ(2 << 20, effective);
    }
}

TEST(UDPSocketTest, RecvBatchTakesEveryQueuedDatagramInOneCall) {
    Receiver rx;
    UDPSocket a("127.0.0.2", 0);
    UDPSocket b("127.0.0.3", 0);
    a.sendTo("one", 3, "127.0.0.1", rx.port);
    b.sendTo("two!", 4, "127.0.0.1", rx.port);
    a.sendTo("", 0, "127.0.0.1", rx.port);

    constexpr unsigned int SLOTS = 8;
    char bufs[SLOTS][64];
    iovec iov[SLOTS];
    sockaddr_in names[SLOTS];
    mmsghdr msgs[SLOTS];
    std::memset(msgs, 0, sizeof msgs);
    for (unsigned int i = 0; i < SLOTS; ++i) {
        iov[i] = {bufs[i], sizeof bufs[i]};
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
        msgs[i].msg_hdr.msg_name = &names[i];
        msgs[i].msg_hdr.msg_namelen = sizeof names[i];
    }
    ASSERT_EQ(3, rx.sock.recvBatch(msgs, SLOTS, MSG_DONTWAIT));
    EXPECT_EQ("one", std::string(bufs[0], msgs[0].msg_len));
    EXPECT_EQ("two!", std::string(bufs[1], msgs[1].msg_len));
    EXPECT_EQ(0u, msgs[2].msg_len);
    EXPECT_EQ(htonl(0x7F000003), names[1].sin_addr.s_addr);
    EXPECT_EQ(htons(b.getLocalPort()), names[1].sin_port);

    errno = 0;
    EXPECT_EQ(-1, rx.sock.recvBatch(msgs, SLOTS, MSG_DONTWAIT));
    EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);
}

// The server's way: one thread blocks in recvFrom while another sends.
TEST(UDPSocketTest, ReceiverThreadGetsEveryDatagramInOrder) {
    constexpr int COUNT = 50;
    Receiver rx;
    std::vector<std::string> got;
    std::thread receiver([&] {
        while (got.size() < COUNT) {
            const Receiver::Datagram d = rx.next();
            if (d.len < 0) break;  // 2 s with nothing: give up
            got.push_back(d.data);
        }
    });
    UDPSocket tx("127.0.0.2", 0);
    for (int i = 0; i < COUNT; ++i) {
        const std::string text = "<13>message " + std::to_string(i);
        tx.sendTo(text.data(), static_cast<int>(text.size()), "127.0.0.1", rx.port);
    }
    receiver.join();
    ASSERT_EQ(static_cast<size_t>(COUNT), got.size());
    for (int i = 0; i < COUNT; ++i) EXPECT_EQ("<13>message " + std::to_string(i), got[i]);
}

// ---- Streams -----------------------------------------------------------------------------

TEST(TCPSocketTest, EchoThroughABlockingAcceptInAnotherThread) {
    TCPServerSocket server("127.0.0.1", 0, 5);
    const unsigned short port = server.getLocalPort();
    std::string peer;
    std::thread echo([&] {
        std::unique_ptr<TCPSocket> conn(server.accept());
        peer = conn->getForeignAddress();
        char buf[256];
        int n;
        while ((n = conn->recv(buf, sizeof buf)) > 0) conn->send(buf, n);
    });

    {
        TCPSocket client;
        client.setLocalAddressAndPort("127.0.0.2", 0);
        client.connect("127.0.0.1", port);
        EXPECT_EQ(port, client.getForeignPort());
        const std::string text = "ping over a stream";
        client.send(text.data(), static_cast<int>(text.size()));
        std::string back;
        char buf[256];
        while (back.size() < text.size()) {
            const int n = client.recv(buf, sizeof buf);
            ASSERT_GT(n, 0);
            back.append(buf, static_cast<size_t>(n));
        }
        EXPECT_EQ(text, back);
    }  // closing the client ends the echo loop with recv() == 0
    echo.join();
    EXPECT_EQ("127.0.0.2", peer);
}

TEST(TCPSocketTest, EachAcceptOwnsOneConnection) {
    TCPServerSocket server(0, 5);
    const unsigned short port = server.getLocalPort();
    TCPSocket c1("127.0.0.1", port);
    auto c2 = std::make_unique<TCPSocket>("127.0.0.1", port);
    std::unique_ptr<TCPSocket> a1(server.accept());
    std::unique_ptr<TCPSocket> a2(server.accept());
    ASSERT_NE(a1.get(), a2.get());
    EXPECT_EQ(c1.getLocalPort(), a1->getForeignPort());
    EXPECT_EQ(c2->getLocalPort(), a2->getForeignPort());

    // Deleting one accepted socket ends that connection alone: its peer reads 0.
    a1.reset();
    char buf[16];
    EXPECT_EQ(0, c1.recv(buf, sizeof buf));
    c2->send("two", 3);
    ASSERT_EQ(3, a2->recv(buf, sizeof buf));
    EXPECT_EQ("two", std::string(buf, 3));

    // ... and the listening socket goes on accepting.
    TCPSocket c3("127.0.0.1", port);
    std::unique_ptr<TCPSocket> a3(server.accept());
    EXPECT_EQ(c3.getLocalPort(), a3->getForeignPort());

    // The other way round: the accepted side reads 0, and sending on to the closed peer
    // fails with an exception, not SIGPIPE.
    c2.reset();
    EXPECT_EQ(0, a2->recv(buf, sizeof buf));
    std::string failure = "<nothing thrown>";
    for (int i = 0; i < 100 && failure == "<nothing thrown>"; ++i) {
        failure = thrownBy([&] { a2->send("more", 4); });
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(0u, failure.rfind("Send failed (send()): ", 0)) << failure;
}

TEST(TCPSocketTest, QueueLenReachesListenUnchanged) {
    for (int queueLen : {1, 7, 50}) {
        PeekServer server(0, queueLen);
        int listening = 0;
        socklen_t len = sizeof listening;
        ASSERT_EQ(0, getsockopt(server.fd(), SOL_SOCKET, SO_ACCEPTCONN, &listening, &len));
        EXPECT_EQ(1, listening);
        // For a listening socket Linux reports the backlog in tcpi_sacked.
        tcp_info info;
        len = sizeof info;
        ASSERT_EQ(0, getsockopt(server.fd(), IPPROTO_TCP, TCP_INFO, &info, &len));
        EXPECT_EQ(static_cast<unsigned>(queueLen), info.tcpi_sacked);
    }
}
