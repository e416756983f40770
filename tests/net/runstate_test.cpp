#include "net/net.h"

#include <gtest/gtest.h>

#include <pthread.h>

namespace {

TEST(RunState, StopFlagStartsClearAndFollowsSetter)
{
    EXPECT_EQ(0, vl2_server_stopping());
    vl2_set_stopping(1);
    EXPECT_EQ(1, vl2_server_stopping());
    vl2_set_stopping(7);  // any non-zero value means "stopping"
    EXPECT_EQ(1, vl2_server_stopping());
    vl2_set_stopping(0);
    EXPECT_EQ(0, vl2_server_stopping());
}

TEST(RunState, StopFlagIsSeenByOtherThreads)
{
    vl2_set_stopping(1);
    int seen = -1;
    pthread_t t;
    ASSERT_EQ(0, vl2_thread_start(
                     &t,
                     [](void *arg) -> void * {
                         *(int *)arg = vl2_server_stopping();
                         return nullptr;
                     },
                     &seen));
    pthread_join(t, nullptr);
    vl2_set_stopping(0);
    EXPECT_EQ(1, seen);
}

struct probe {
    int ran;
    size_t stack;
};

void *look(void *arg)
{
    probe *p = (probe *)arg;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        pthread_attr_getstacksize(&attr, &p->stack);
        pthread_attr_destroy(&attr);
    }
    p->ran = 1;
    return arg;
}

TEST(Threads, StartsWithOneMebibyteStackAndWritesHandle)
{
    probe p = {0, 0};
    pthread_t t;
    ASSERT_EQ(0, vl2_thread_start(&t, look, &p));
    void *ret = nullptr;
    ASSERT_EQ(0, pthread_join(t, &ret));
    EXPECT_EQ(&p, ret);
    EXPECT_EQ(1, p.ran);
    EXPECT_GE(p.stack, (size_t)1024 * 1024);
    EXPECT_LT(p.stack, (size_t)2 * 1024 * 1024);
}

TEST(Threads, RefusesMissingArguments)
{
    pthread_t t;
    EXPECT_EQ(-1, vl2_thread_start(nullptr, look, nullptr));
    EXPECT_EQ(-1, vl2_thread_start(&t, nullptr, nullptr));
}

}  // namespace
