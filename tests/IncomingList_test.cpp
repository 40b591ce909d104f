#include "IncomingList.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <string>

namespace {

TEST(IncomingList, OneProducerOneConsumerKeepOrder) {
    IncomingList list;
    constexpr int kCount = 20000;
    struct Producer {
        static void* run(void* p) {
            IncomingList* l = static_cast<IncomingList*>(p);
            MessageBatch batch;
            for (int i = 0; i < kCount; ++i) {
                std::string text = std::to_string(i);
                batch.add(htonl(0x7f000002), text.data(), text.size());
                if (batch.size() == 7 || i % 3 == 0) l->appendBatch(batch);
            }
            l->appendBatch(batch);
            return nullptr;
        }
    };
    pthread_t t;
    pthread_create(&t, nullptr, Producer::run, &list);
    int next = 0;
    MessageBatch got;
    message one;
    for (int spins = 0; next < kCount && spins < 10000000; ++spins) {
        if (spins % 2 && list.takeFront(one)) {
            EXPECT_EQ(one.m_message, std::to_string(next));
            ++next;
        } else if (list.takeAll(got)) {
            for (const message& m : got.toMessages()) {
                ASSERT_EQ(m.m_message, std::to_string(next));
                EXPECT_EQ(m.sourceaddress, "127.0.0.2");
                ++next;
            }
        }
    }
    pthread_join(t, nullptr);
    EXPECT_EQ(next, kCount);
    EXPECT_TRUE(list.empty());
}

TEST(IncomingList, AppendedRecordsComeBackAsTheyWere) {
    IncomingList list;
    list.append(message{"10.0.0.7", "hello"});
    list.append(message{"192.168.0.5", std::string("a\0b", 3)});
    EXPECT_EQ(list.size(), 2u);
    message m;
    ASSERT_TRUE(list.takeFront(m));
    EXPECT_EQ(m.sourceaddress, "10.0.0.7");
    EXPECT_EQ(m.m_message, "hello");
    MessageBatch rest;
    ASSERT_TRUE(list.takeAll(rest));
    ASSERT_EQ(rest.size(), 1u);
    EXPECT_EQ(rest.toMessages()[0].sourceaddress, "192.168.0.5");
    EXPECT_EQ(rest.toMessages()[0].m_message, std::string("a\0b", 3));
    EXPECT_FALSE(list.takeAll(rest));
    EXPECT_FALSE(list.takeFront(m));
}

}  // namespace
