// The trace reader: every shape read back as the Encoder wrote it, a fixed byte string decoded
// the same on every host, each broken rule refused with what is wrong, and a trace cut short at
// any byte of its last record read up to the record before.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

#include "TraceReader.h"
#include "TraceRecords.h"

namespace {

using namespace tracetest;

std::string Body(const std::string& record) {
    return record.substr(kLengthBytes);
}

// The body decoded, or the reader's complaint.
std::string Decode(const std::string& body, Record& r) {
    try {
        DecodeBody(reinterpret_cast<const unsigned char*>(body.data()), body.size(), r);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

// The record again from what was read: the same bytes if nothing was lost or changed.
std::string Reencode(const Record& r) {
    return Rec(r.head, [&](Encoder& e, std::string&) {
        for (const auto* values : {&r.request, &r.reply}) {
            for (const Value& v : *values) {
                if (v.type == Type::U32) e.U32(v.number);
                if (v.type == Type::I32) e.I32(v.Signed());
                if (v.type == Type::Text) e.Text(v.bytes.data(), v.bytes.size());
                if (v.type == Type::Bytes) e.Bytes(v.bytes.data(), v.bytes.size());
                if (v.type == Type::None) e.None();
            }
        }
    });
}

TEST(TraceReader, ReadsEveryShapeBackAsWritten) {
    const TraceDir dir;
    const std::vector<std::string> records = EveryShape();
    std::string file = FileHeader();
    for (const std::string& r : records) file += r;
    Reader reader(dir.Write(file));
    EXPECT_EQ(reader.header().pid, 4242u);
    EXPECT_EQ(reader.header().wallMs, 1765122767123ull);
    Record r;
    for (const std::string& expected : records) {
        ASSERT_TRUE(reader.Next(r)) << r.shape().name;
        EXPECT_EQ(Reencode(r), expected) << r.shape().name;
    }
    EXPECT_FALSE(reader.Next(r));
    EXPECT_FALSE(reader.CutShort());
    EXPECT_EQ(reader.Offset(), file.size());
}

// Written by hand, byte by byte: a big-endian host and a little-endian one read it alike, and
// the Encoder writes it so.
TEST(TraceReader, DecodesAFixedByteStringTheSameOnEveryHost) {
    const unsigned char bytes[] = {
        0x00, 0x00, 0x00, 0x23,                          // length 35
        0x02, 0x01, 0x01, 0x02,                          // note PldCount, thread 0x0102
        0x03, 0x04, 0x05, 0x06,                          // seq
        0x00, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05,  // start
        0x00, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05,  // end
        0xff, 0xff, 0xff, 0xfe,                          // status -2
        0x01, 0x00,                                      // request fields, reply fields
        0x01, 0x89, 0xab, 0xcd, 0xef,                    // count, a U32
    };
    const std::string literal(reinterpret_cast<const char*>(bytes), sizeof bytes);
    Record r;
    ASSERT_EQ(Decode(Body(literal), r), "");
    EXPECT_EQ(r.head.kind, Kind::Note);
    EXPECT_EQ(r.head.thread, 0x0102u);
    EXPECT_EQ(r.head.seq, 0x03040506u);
    EXPECT_EQ(r.head.start, 0x0102030405ull);
    EXPECT_EQ(r.head.end, 0x0102030405ull);
    EXPECT_EQ(r.head.status, -2);
    EXPECT_EQ(r.find("count")->number, 0x89abcdefu);
    EXPECT_EQ(Rec(MakeHead(Kind::Note, 1, 0x03040506, 0x0102030405ull, 0x0102030405ull, -2, 0x0102),
                  [](Encoder& e, std::string&) { e.U32(0x89abcdef); }),
              literal);
}

// A point request's fields up to its text, then `rest`.
std::string PntStr(const std::function<void(Encoder&, std::string&)>& rest,
                   Head h = CallHead(Op::GetVelPntStr)) {
    return Rec(h, [&](Encoder& e, std::string& out) {
        for (int i = 0; i < 4; ++i) e.U32(1);
        e.I32(0);
        e.None();
        e.U32(0);
        rest(e, out);
    });
}

// Bytes after the fields the encoder holds.
void Raw(Encoder& e, std::string& out, std::initializer_list<unsigned char> bytes) {
    e.Flush();
    for (unsigned char b : bytes) out.push_back(static_cast<char>(b));
}

struct Broken {
    const char* rule;
    std::string body;
    const char* error;
};

TEST(TraceReader, RefusesEachBrokenRuleSayingWhatIsWrong) {
    // The shape's fields up to its last, a block of `bytes` (or None).
    auto sized = [](Op op, std::uint32_t count, std::size_t bytes, bool none = false) {
        const Shape& s = kCalls[static_cast<int>(op) - 1];
        return Body(Rec(CallHead(op), [&](Encoder& e, std::string&) {
            for (std::uint8_t i = 0; i < s.requestCount; ++i) SoundField(e, s.request[i], count);
            for (std::uint8_t i = 0; i + 1 < s.replyCount; ++i) SoundField(e, s.reply[i], count);
            if (none) return e.None();
            e.Bytes(std::string(bytes, 'x').data(), bytes);
        }));
    };
    auto sizedNote = [](std::uint8_t kind, std::size_t bytes, std::uint32_t count = 3) {
        const Shape& s = *ShapeOf(kind == 0 ? Kind::Piece : Kind::Note, kind);
        return Body(Rec(MakeHead(kind == 0 ? Kind::Piece : Kind::Note, kind),
                        [&](Encoder& e, std::string&) {
                            for (std::uint8_t i = 0; i + 1 < s.requestCount; ++i) {
                                SoundField(e, s.request[i], count);
                            }
                            e.Bytes(std::string(bytes, 'x').data(), bytes);
                        }));
    };
    const std::string sound = Body(PntStr([](Encoder& e, std::string&) {
        e.U32(64);
        e.Text("62.1", 4);
    }));
    auto set = [](std::string body, std::size_t i, unsigned char b) {
        body[i] = static_cast<char>(b);
        return body;
    };
    auto at = [&](std::size_t i, unsigned char b) {
        return set(sound, i, b);
    };
    const std::string note = Body(SoundRecord(MakeHead(Kind::Note, 1)));
    const std::vector<Broken> cases = {
        {"sound", sound, ""},
        {"fixed part short", sound.substr(0, kFixedBytes - 1),
         "shorter than a record's fixed part"},
        {"unknown kind", at(0, 5), "unknown record kind 5 op 9"},
        {"unknown call", at(1, kOpCount + 1), "unknown record kind 1 op 31"},
        {"no call 0", at(1, 0), "unknown record kind 1 op 0"},
        {"unknown note", set(note, 1, kNoteCount + 1), "unknown record kind 2 op 4"},
        {"piece with an op", set(Body(SoundRecord(MakeHead(Kind::Piece, 0))), 1, 1),
         "unknown record kind 3 op 1"},
        {"unknown end", Body(Rec(MakeHead(Kind::End, 3), [](Encoder&, std::string&) {})),
         "unknown record kind 4 op 3"},
        {"request count", at(28, 7), "GetVelPntStr with the wrong number of fields"},
        {"reply count", at(29, 0), "GetVelPntStr with the wrong number of fields"},
        {"end before start",
         Body(PntStr([](Encoder&, std::string&) {}, CallHead(Op::GetVelPntStr, 1, 5, 4))),
         "GetVelPntStr ends before it starts"},
        {"note with a duration", Body(SoundRecord(MakeHead(Kind::Note, 1, 1, 5, 6))),
         "PldCount has a duration"},
        {"wrong type", at(kFixedBytes, static_cast<unsigned char>(Type::I32)),
         "field device has the wrong type"},
        {"unknown type", at(kFixedBytes, 9), "field device has the wrong type"},
        {"none not nullable", at(kFixedBytes, static_cast<unsigned char>(Type::None)),
         "field device may not be none"},
        {"field missing", Body(PntStr([](Encoder&, std::string&) {})), "field size is missing"},
        {"number cut short", sound.substr(0, sound.size() - 4 - 5 - 2), "field size is cut short"},
        {"text past its record", sound.substr(0, sound.size() - 1),
         "field text runs past its record"},
        {"text past its limit", Body(PntStr([](Encoder& e, std::string& out) {
             e.U32(64);
             Raw(e, out, {3, 0x00, 0x01, 0x00, 0x01});
         })),
         "field text is longer than its limit"},
        {"block past its limit",
         Body(Rec(CallHead(Op::GetProdSeqId),
                  [](Encoder& e, std::string& out) {
                      e.U32(1);
                      Raw(e, out, {4, 0x00, 0x02, 0x00, 0x01});
                  })),
         "field identity is longer than its limit"},
        {"text at its limit", Body(PntStr([](Encoder& e, std::string&) {
             e.U32(64);
             e.Text(std::string(kMaxTextBytes, 'a').data(), kMaxTextBytes);
         })),
         ""},
        {"block at its limit", sizedNote(0, kMaxBytesField, kMaxBytesField), ""},
        {"ancestors none", sized(Op::GetRprtAncstr, 2, 0, true), ""},
        {"bytes left over", sound + "x", "GetVelPntStr has bytes after its last field"},
        {"serverName", sized(Op::GetVelServerInventory, 1, 31),
         "serverName has 31 bytes where the record says 32"},
        {"identity", sized(Op::GetProdSeqId, 1, 17),
         "identity has 17 bytes where the record says 18"},
        {"ancestors", sized(Op::GetRprtAncstr, 2, 10),
         "ancestors has 10 bytes where the record says 20"},
        {"enum values", sized(Op::GetVelEnumStateInfo, 3, 4),
         "values has 4 bytes where the record says 6"},
        {"value change data", sizedNote(3, 5), "data has 5 bytes where the record says 6"},
        {"piece text", sizedNote(0, 2), "text has 2 bytes where the record says 3"},
    };
    for (const Broken& c : cases) {
        Record r;
        EXPECT_EQ(Decode(c.body, r), c.error) << c.rule;
    }
}

TEST(TraceReader, RefusesABadHeaderOrALengthWordOutOfBounds) {
    const TraceDir dir;
    const std::string record = Body(SoundRecord(MakeHead(Kind::End, 1)));
    auto withLength = [&](std::uint32_t length) {
        std::string word(4, '\0');
        Put32(reinterpret_cast<unsigned char*>(&word[0]), length);
        return FileHeader() + word + record;
    };
    const struct {
        const char* rule;
        std::string file;
        const char* error;
    } cases[] = {
        {"empty", "", "not a trace file (no trace header)"},
        {"header short", FileHeader().substr(0, kHeaderBytes - 1),
         "not a trace file (no trace header)"},
        {"magic", "X" + FileHeader().substr(1), "not a trace file (no trace header)"},
        {"version", FileHeader(2), "trace format version 2: this reader reads 1"},
        {"version 0", FileHeader(0), "trace format version 0: this reader reads 1"},
        {"length below the fixed part", withLength(kFixedBytes - 1),
         "record at byte 32: length 29 is out of bounds"},
        {"length past the limit", withLength(kMaxRecordBytes + 1),
         "record at byte 32: length 262145 is out of bounds"},
        {"length past the record", withLength(kFixedBytes + 1) + "x",
         "record at byte 32: End has bytes after its last field"},
    };
    for (const auto& c : cases) {
        std::string error;
        try {
            Reader reader(dir.Write(c.file));
            Record r;
            reader.Next(r);
            reader.Next(r);
        } catch (const std::runtime_error& e) {
            error = e.what();
        }
        EXPECT_NE(error.find(c.error), std::string::npos) << c.rule << ": " << error;
    }
    EXPECT_THROW(Reader(dir.Write("", "missing/trace")), std::runtime_error);
    EXPECT_THROW(Reader("/tmp"), std::runtime_error);
}

// A terminal named as the trace, by a process without one (a service): refused, and not made
// the process's controlling terminal on the way.
TEST(TraceReader, RefusesATerminalWithoutTakingItAsTheControllingOne) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) GTEST_SKIP() << "no pty";
    const std::string terminal = ptsname(master);
    const pid_t child = fork();
    if (child == 0) {
        setsid();
        bool refused = false;
        try {
            Reader reader(terminal);
        } catch (const std::runtime_error& e) {
            refused = std::string(e.what()).find("not a regular file") != std::string::npos;
        }
        _exit(refused && open("/dev/tty", O_RDONLY) < 0 ? 0 : 1);
    }
    int status = -1;
    waitpid(child, &status, 0);
    close(master);
    EXPECT_EQ(status, 0);
}

// The writer killed at any byte of its last record: the records before it are read, and no
// more.
TEST(TraceReader, ReadsATraceCutShortAtEveryByteOfItsLastRecordUpToTheRecordBefore) {
    const TraceDir dir;
    const std::string first = FileHeader() + SoundRecord(CallHead(Op::GetVelServerInventory));
    const std::string last = SoundRecord(CallHead(Op::GetRprtAncstr, 2));
    for (std::size_t cut = 0; cut < last.size(); ++cut) {
        Reader reader(dir.Write(first + last.substr(0, cut)));
        Record r;
        ASSERT_TRUE(reader.Next(r)) << cut;
        EXPECT_EQ(r.head.op, static_cast<std::uint8_t>(Op::GetVelServerInventory));
        EXPECT_FALSE(reader.Next(r)) << cut;
        EXPECT_EQ(reader.CutShort(), cut > 0) << cut;
        EXPECT_EQ(reader.Offset(), first.size()) << cut;
        EXPECT_FALSE(reader.Next(r)) << cut;
    }
}

}  // namespace
