#include "IncomingList.h"

#include <arpa/inet.h>
#include <netinet/in.h>

pthread_mutex_t myIncomingListMutex = PTHREAD_MUTEX_INITIALIZER;

namespace {
class Lock {
  public:
    Lock() { pthread_mutex_lock(&myIncomingListMutex); }
    ~Lock() { pthread_mutex_unlock(&myIncomingListMutex); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
};
}  // namespace

void MessageBatch::add(uint32_t address, const char* text, size_t length) {
    items_.push_back(
        Item{address, static_cast<uint32_t>(bytes_.size()), static_cast<uint32_t>(length)});
    bytes_.append(text, length);
}

void MessageBatch::append(const MessageBatch& other) {
    const uint32_t base = static_cast<uint32_t>(bytes_.size());
    items_.reserve(items_.size() + other.items_.size());
    for (const Item& it : other.items_)
        items_.push_back(Item{it.address, it.offset + base, it.length});
    bytes_ += other.bytes_;
}

std::vector<message> MessageBatch::toMessages() const {
    std::vector<message> out;
    out.reserve(items_.size());
    for (const Item& it : items_)
        out.push_back(message{addressText(it.address), std::string(text(it), it.length)});
    return out;
}

std::string addressText(uint32_t address) {
    char buf[INET_ADDRSTRLEN];
    struct in_addr a;
    a.s_addr = address;
    inet_ntop(AF_INET, &a, buf, sizeof buf);
    return buf;
}

void IncomingList::append(const message& m) {
    struct in_addr a {};
    inet_pton(AF_INET, m.sourceaddress.c_str(), &a);
    MessageBatch one;
    one.add(a.s_addr, m.m_message.data(), m.m_message.size());
    appendBatch(one);
}

void IncomingList::appendBatch(MessageBatch& batch) {
    if (batch.empty()) return;
    const size_t n = batch.size();
    {
        Lock lock;
        if (pending_.empty()) {
            pending_.swap(batch);  // the consumer's emptied buffers come back this way
            taken_ = 0;
        } else {
            pending_.append(batch);
        }
        count_.fetch_add(n, std::memory_order_release);
    }
    batch.clear();
}

bool IncomingList::takeAll(MessageBatch& out) {
    out.clear();
    if (empty()) return false;
    size_t skip = 0;
    {
        Lock lock;
        pending_.swap(out);
        skip = taken_;
        taken_ = 0;
        count_.store(0, std::memory_order_release);
    }
    if (skip > 0) {
        // Rare: takeFront and takeAll mixed. Drop the records already handed out.
        MessageBatch rest;
        for (size_t i = skip; i < out.size(); ++i) {
            const MessageBatch::Item& it = out.item(i);
            rest.add(it.address, out.text(it), it.length);
        }
        out.swap(rest);
    }
    return !out.empty();
}

bool IncomingList::takeFront(message& out) {
    Lock lock;
    if (taken_ >= pending_.size()) return false;
    const MessageBatch::Item& it = pending_.item(taken_++);
    out.sourceaddress = addressText(it.address);
    out.m_message.assign(pending_.text(it), it.length);
    count_.fetch_sub(1, std::memory_order_release);
    if (taken_ == pending_.size()) {
        pending_.clear();
        taken_ = 0;
    }
    return true;
}
