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
        queued_.emplace_back();
        queued_.back().swap(batch);
        if (!spare_.empty()) {
            batch.swap(spare_.back());
            spare_.pop_back();
        }
        count_.fetch_add(n, std::memory_order_release);
    }
    batch.clear();
}

bool IncomingList::takeBatches(std::vector<MessageBatch>& out) {
    for (MessageBatch& b : out) b.clear();  // outside the lock
    if (empty() && out.empty()) return false;
    size_t skip = 0;
    {
        Lock lock;
        for (MessageBatch& b : out) {
            spare_.emplace_back();
            spare_.back().swap(b);
        }
        out.clear();
        out.swap(queued_);
        skip = taken_;
        taken_ = 0;
        count_.store(0, std::memory_order_release);
    }
    if (skip > 0) {
        // Rare: takeFront and a whole take mixed. Leave out what was handed out already.
        MessageBatch rest;
        for (size_t i = skip; i < out.front().size(); ++i) {
            const MessageBatch::Item& it = out.front().item(i);
            rest.add(it.address, out.front().text(it), it.length);
        }
        out.front().swap(rest);
    }
    return !out.empty();
}

bool IncomingList::takeAll(MessageBatch& out) {
    out.clear();
    std::vector<MessageBatch> batches;
    takeBatches(batches);
    for (const MessageBatch& b : batches) out.append(b);
    return !out.empty();
}

bool IncomingList::takeFront(message& out) {
    Lock lock;
    if (queued_.empty()) return false;
    MessageBatch& head = queued_.front();
    const MessageBatch::Item& it = head.item(taken_++);
    out.sourceaddress = addressText(it.address);
    out.m_message.assign(head.text(it), it.length);
    count_.fetch_sub(1, std::memory_order_release);
    if (taken_ == head.size()) {
        head.clear();
        spare_.emplace_back();
        spare_.back().swap(head);
        queued_.erase(queued_.begin());
        taken_ = 0;
    }
    return true;
}
