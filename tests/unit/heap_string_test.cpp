// Tests of the heap string and its out-of-memory behaviour.
#include <gtest/gtest.h>

#include <string>

#include "core/Heap.h"
#include "core/HeapString.h"

namespace {

std::string Text(const HeapString& s)
{
    return std::string(s.text, s.length);
}

TEST(HeapString, SubstringClampsCountAndPosition)
{
    struct Case {
        uint32_t count, position;
        const char* expected;
    } cases[] = {{100, 2, "cdef"}, {2, 1, "bc"}, {0, 3, ""}, {100, 6, ""}, {100, 7, ""}, {5, 0, "abcde"}};
    HeapString source("abcdef");
    for (const Case& c : cases) {
        HeapString target("old");
        source.Substring(target, c.count, c.position);
        EXPECT_EQ(Text(target), c.expected) << c.count << "@" << c.position;
        EXPECT_EQ(target.text[target.length], '\0');
        if (target.length == 0) {
            EXPECT_EQ(target.text, kEmptyText);
        }
        target.Release();
    }
    source.Release();
}

TEST(HeapString, FindCharAndDiffers)
{
    HeapString s("a:b:c");
    EXPECT_EQ(s.FindChar(0, ':'), 1);
    EXPECT_EQ(s.FindChar(2, ':'), 3);
    EXPECT_EQ(s.FindChar(4, ':'), s.notFound);
    EXPECT_EQ(s.FindChar(5, 'c'), -1);  // position == length: nothing is read
    EXPECT_EQ(s.FindChar(0, 'x'), -1);

    HeapString abc("abc"), abd("abd"), abc2("abc"), empty1, empty2, ab("ab");
    EXPECT_TRUE(abc.Differs(abd));
    EXPECT_FALSE(abc.Differs(abc2));
    EXPECT_FALSE(empty1.Differs(empty2));
    EXPECT_TRUE(abc.Differs(ab));
    EXPECT_TRUE(empty1.Differs(ab));
    for (HeapString* p : {&s, &abc, &abd, &abc2, &ab})
        p->Release();
}

TEST(HeapString, AssignAndAppendKeepExactBuffers)
{
    HeapString s;
    s.Append("", 0);
    EXPECT_EQ(s.text, kEmptyText);
    s.AppendText("ab").AppendText("cd");
    EXPECT_EQ(Text(s), "abcd");
    s.Append(s.text + 1, 2);  // a piece of itself
    EXPECT_EQ(Text(s), "abcdbc");
    s.Assign("xyz", 0);
    EXPECT_EQ(s.length, 0u);
    EXPECT_EQ(s.text, kEmptyText);
    s.Release();
    s.Release();  // releasing twice is harmless
    EXPECT_EQ(s.text, kEmptyText);
}

TEST(HeapString, OutOfMemoryEmptiesTheString)
{
    HeapString s("keep");
    InjectAllocationFailure(0);
    s.AppendText("more");
    InjectAllocationFailure(-1);
    EXPECT_EQ(s.length, 0u);
    EXPECT_EQ(s.text, kEmptyText);

    s.AssignText("again");
    InjectAllocationFailure(0);
    s.AssignText("other");
    InjectAllocationFailure(-1);
    EXPECT_EQ(s.text, kEmptyText);
    EXPECT_EQ(s.length, 0u);

    InjectAllocationFailure(0);
    EXPECT_EQ(HeapAllocate(16), nullptr);
    InjectAllocationFailure(-1);
    void* buffer = HeapAllocate(16);
    EXPECT_NE(buffer, nullptr);
    HeapRelease(buffer);
}

}  // namespace
