// Regression: vl2_fs_open_ro opened whatever the name led to for reading
// before looking at it, so a FIFO (or device) swapped in for a file was
// really opened: a writer waiting on the FIFO was released.
#include "fs/fs.h"

#include "fs/tmptree.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

TEST(FsOpenRoFifoOpened, AFifoOrALinkToOneIsNeverOpened)
{
    tmptree t;
    ASSERT_TRUE(t.fifo("p"));
    ASSERT_TRUE(t.link(t.at("p"), "lp"));
    std::atomic<bool> released{false};
    std::thread writer([&] {
        int fd = open(t.at("p").c_str(), O_WRONLY | O_CLOEXEC);  // waits for a reader
        released = true;
        if (fd >= 0) close(fd);
    });
    for (const char *name : {"p", "lp"}) {
        vl2_fstat st;
        EXPECT_EQ(nullptr, vl2_fs_open_ro(t.at(name).c_str(), &st)) << name;
        EXPECT_EQ(nullptr, vl2_fs_open_ro(t.at(name).c_str(), nullptr)) << name;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(released.load()) << "the FIFO was opened for reading";
    int rd = open(t.at("p").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);  // lets the writer go
    writer.join();
    if (rd >= 0) close(rd);
}

TEST(FsOpenRoFifoOpened, ARegularFileStillOpensAndReads)
{
    tmptree t;
    ASSERT_TRUE(t.file("f", "abc"));
    ASSERT_TRUE(t.link("f", "lf"));
    vl2_fstat st;
    vl2_file *f = vl2_fs_open_ro(t.at("lf").c_str(), &st);
    ASSERT_NE(nullptr, f);
    EXPECT_EQ(VL2_K_FILE, st.kind);
    char buf[8] = {};
    EXPECT_EQ(3, vl2_fs_pread(f, 0, buf, sizeof buf));
    EXPECT_STREQ("abc", buf);
    vl2_fs_close(f);
}

}  // namespace
