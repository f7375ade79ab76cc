#include "console_mode.h"
#include "log_queue.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

// Pushes "l0", "l1", ... and returns how many were accepted.
unsigned PushNumbered(LogQueue* queue, unsigned from, unsigned count)
{
    unsigned accepted = 0;
    for (unsigned i = from; i < from + count; ++i) {
        accepted += queue->Push("l" + std::to_string(i)) ? 1 : 0;
    }
    return accepted;
}

}  // namespace

TEST(LogQueue, FullQueueDropsCountsAndReportsWhereTheGapIs)
{
    LogQueue queue(4);
    EXPECT_EQ(4u, PushNumbered(&queue, 0, 4));
    EXPECT_EQ(0u, PushNumbered(&queue, 4, 3));  // the writer is stuck: dropped, never waited for
    EXPECT_EQ((Lines{"l0", "l1", "l2", "l3"}), queue.Take(0));
    // Room again: the count goes before the next line, then the line.
    EXPECT_EQ(2u, PushNumbered(&queue, 7, 2));
    EXPECT_EQ((Lines{"3 log lines dropped", "l7", "l8"}), queue.Take(0));
    EXPECT_TRUE(queue.Drained());

    // With no later line, the writer reports the count once it has written the rest.
    EXPECT_EQ(4u, PushNumbered(&queue, 9, 4));
    EXPECT_EQ(0u, PushNumbered(&queue, 13, 1));
    EXPECT_EQ((Lines{"l9", "l10", "l11", "l12"}), queue.Take(0));
    EXPECT_FALSE(queue.Drained());
    EXPECT_EQ((Lines{"1 log line dropped"}), queue.Take(0));
    EXPECT_TRUE(queue.Drained());
    EXPECT_EQ(Lines{}, queue.Take(0));

    // Drops right after a notice are counted anew.
    EXPECT_EQ(4u, PushNumbered(&queue, 14, 4));
    EXPECT_EQ(0u, PushNumbered(&queue, 18, 2));
    EXPECT_EQ(4u, queue.Take(0).size());
    EXPECT_EQ(3u, PushNumbered(&queue, 20, 3));
    EXPECT_EQ(0u, PushNumbered(&queue, 23, 1));
    EXPECT_EQ((Lines{"2 log lines dropped", "l20", "l21", "l22"}), queue.Take(0));
    EXPECT_EQ((Lines{"1 log line dropped"}), queue.Take(0));
}

TEST(LogQueue, CloseLetsTheWriterDrainThenEnd)
{
    LogQueue queue(8);
    EXPECT_EQ(2u, PushNumbered(&queue, 0, 2));
    queue.Close();
    EXPECT_FALSE(queue.Push("late"));
    EXPECT_EQ((Lines{"l0", "l1"}), queue.Take(INFINITE));
    EXPECT_EQ(Lines{}, queue.Take(INFINITE));  // returns at once: closed and empty
    EXPECT_TRUE(queue.Drained());
}

TEST(QuickEdit, ClearedWithExtendedFlagsOtherBitsKept)
{
    const struct {
        DWORD in;
        DWORD out;
    } cases[] = {
        {0x1F7, 0x1B7},  // a console's usual input mode: QuickEdit on
        {0x0F7, 0x0B7},
        {0x007, 0x087},  // no extended flags reported: set them, so the cleared bit counts
        {0x0A7, 0x0A7},  // already off, insert mode kept
        {0x040, 0x080},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.out, ModeWithoutQuickEdit(c.in)) << std::hex << c.in;
    }
}
