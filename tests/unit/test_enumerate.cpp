// The device id counter, from the first call of a fresh process on. The counter is
// process-wide and starts at 0 only once, so the whole story is one test.
#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>

#include "exports/mirdu.h"
#include "tests/unit/call_line.h"
#include "tests/unit/recorder.h"

namespace {

// What one KVTFindFirst or KVTFindNext gave: its result, the entry and the lines it printed.
struct Handout {
    int32_t result;
    DeviceEntry entry;
    std::vector<std::string> lines;
};

bool operator==(const Handout &a, const Handout &b)
{
    return a.result == b.result && a.entry.host == b.entry.host && a.entry.id == b.entry.id &&
           a.lines == b.lines;
}

std::ostream &operator<<(std::ostream &out, const Handout &h)
{
    out << "result " << h.result << ", entry {host " << h.entry.host << ", id " << h.entry.id
        << "}, lines";
    for (const std::string &line : h.lines)
        out << " \"" << line.substr(0, line.size() - (line.back() == '\n')) << "\\n\"";
    return out;
}

Handout First()
{
    DeviceEntry entry = {-7, -7};
    const int32_t result = KVTFindFirst(&entry);
    return {result, entry, TakeLines()};
}

Handout Next()
{
    DeviceEntry entry = {-7, -7};
    const int32_t result = KVTFindNext(0x5A5A5A5A, &entry); // the first argument is not examined
    return {result, entry, TakeLines()};
}

Handout Want(const char *call, int id, int32_t result)
{
    return {result, {0, id}, {Line(call, 0, id)}};
}

const int32_t kEndOfList = 0, kMore = 1;

TEST(IdCounter, FromAFreshLoadThroughTwoWraps)
{
    // A fresh load: ids 0 to 4, the list ends on id 4.
    EXPECT_EQ(First(), (Handout{0xDEAD, {0, 0}, {Line("KVTFindFirst", 0, 0)}}));
    EXPECT_EQ(Next(), (Handout{kMore, {0, 1}, {Line("KVTFindNext", 0, 1)}}));
    EXPECT_EQ(Next(), (Handout{kMore, {0, 2}, {Line("KVTFindNext", 0, 2)}}));
    EXPECT_EQ(Next(), (Handout{kMore, {0, 3}, {Line("KVTFindNext", 0, 3)}}));
    EXPECT_EQ(Next(), (Handout{kEndOfList, {0, 4}, {Line("KVTFindNext", 0, 4)}}));

    // Closing the enumeration resets nothing: a second one goes on at id 5, and its list ends
    // only on the entry carrying id 4 again, the 256th counted from its KVTFindFirst, after
    // the ids wrapped from 255 to 0.
    EXPECT_EQ(KVTFindClose(), 1);
    EXPECT_EQ(TakeLines(), std::vector<std::string>{"KVTFindClose\n"});
    EXPECT_EQ(First(), Want("KVTFindFirst", 5, 0xDEAD));
    for (int id = 6; id <= 255; ++id)
        ASSERT_EQ(Next(), Want("KVTFindNext", id, kMore));
    for (int id = 0; id <= 3; ++id)
        ASSERT_EQ(Next(), Want("KVTFindNext", id, kMore)) << "after the wrap";
    EXPECT_EQ(Next(), Want("KVTFindNext", 4, kEndOfList)) << "the 256th entry";

    // Only KVTFindNext looks at the counter: a KVTFindFirst handing out id 4 answers as
    // always, and its list ends 256 entries later, on the next KVTFindNext with id 4.
    for (int id = 5; id <= 255; ++id)
        ASSERT_EQ(Next(), Want("KVTFindNext", id, kMore));
    for (int id = 0; id <= 3; ++id)
        ASSERT_EQ(Next(), Want("KVTFindNext", id, kMore)) << "after the wrap";
    EXPECT_EQ(First(), Want("KVTFindFirst", 4, 0xDEAD));
    for (int id = 5; id <= 255; ++id)
        ASSERT_EQ(Next(), Want("KVTFindNext", id, kMore));
    for (int id = 0; id <= 3; ++id)
        ASSERT_EQ(Next(), Want("KVTFindNext", id, kMore)) << "after the wrap";
    EXPECT_EQ(Next(), Want("KVTFindNext", 4, kEndOfList)) << "256 entries after KVTFindFirst";

    // Opening and closing a device leave the counter alone.
    KVTOpen(0, 0);
    KVTClose();
    TakeLines();
    EXPECT_EQ(First(), Want("KVTFindFirst", 5, 0xDEAD));
}

} // namespace
