// `pldctl trace show`: each record of a trace in a line or a JSON object, read as a stream. Byte
// blocks the format gives a structure (ancestor entries, 16-bit values, the product identity) are
// shown by it; texts are shown byte for byte, quoted and escaped.
#include "TraceShow.h"

#include <time.h>

#include <cinttypes>
#include <cstring>
#include <stdexcept>

#include "sim/SimEngine.h"

namespace pldctl {

using nlohmann::json;
using zvtrace::Field;
using zvtrace::Kind;
using zvtrace::Record;
using zvtrace::Type;
using zvtrace::Value;

namespace {

// ns as ms with its microseconds: "12.345".
std::string ms(std::uint64_t ns) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%" PRIu64 ".%03" PRIu64, ns / 1000000, ns / 1000 % 1000);
    return buf;
}

// The bytes as JSON text, each byte the code point of its value (U+0000 to U+00FF): any byte
// goes through, and the text can be had back exactly.
json latin1(const std::string& bytes) {
    std::string utf8;
    utf8.reserve(bytes.size());
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x80) {
            utf8.push_back(c);
        } else {
            utf8.push_back(static_cast<char>(0xc0 | b >> 6));
            utf8.push_back(static_cast<char>(0x80 | (b & 0x3f)));
        }
    }
    return utf8;
}

bool isText(const char* name) {
    // serverName: 32 bytes of a name; a piece's text: the answer's text as it came.
    return std::strcmp(name, "serverName") == 0 || std::strcmp(name, "text") == 0;
}

bool isUnits(const char* name) {
    return std::strcmp(name, "values") == 0 || std::strcmp(name, "data") == 0;
}

// A byte block in a line: by its structure where the format gives one, else in hex.
std::string blockText(const char* name, const std::string& bytes) {
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    std::string s;
    char buf[64];
    if (isText(name)) return Quoted(bytes);
    if (isUnits(name)) {
        for (std::size_t i = 0; i + 2 <= n; i += 2) {
            s += (i == 0 ? "" : " ") + std::to_string(zvtrace::Get16(b + i));
        }
        return "[" + s + "]";
    }
    if (std::strcmp(name, "ancestors") == 0) {
        for (std::size_t i = 0; i + 10 <= n; i += 10) {
            std::snprintf(buf, sizeof buf, "%s{gdd=%" PRIu32 " mm=%u aux=%" PRIu32 "}",
                          i == 0 ? "" : " ", zvtrace::Get32(b + i), zvtrace::Get16(b + i + 4),
                          zvtrace::Get32(b + i + 6));
            s += buf;
        }
        return "[" + s + "]";
    }
    if (std::strcmp(name, "identity") == 0 && n == 18) {
        for (std::size_t i = 2; i < n; i += 2) {
            s += (i == 2 ? "" : " ") + std::to_string(zvtrace::Get16(b + i));
        }
        std::snprintf(buf, sizeof buf, "{nmbrIds=%u revision=%u ids=[", b[0], b[1]);
        return buf + s + "]}";
    }
    s = "0x";
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, "%02x", b[i]);
        s += buf;
    }
    return s;
}

json blockJson(const char* name, const std::string& bytes) {
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    json out = json::array();
    if (isText(name)) return latin1(bytes);
    if (isUnits(name)) {
        for (std::size_t i = 0; i + 2 <= n; i += 2) out.push_back(zvtrace::Get16(b + i));
        return out;
    }
    if (std::strcmp(name, "ancestors") == 0) {
        for (std::size_t i = 0; i + 10 <= n; i += 10) {
            out.push_back({{"gdd", zvtrace::Get32(b + i)},
                           {"mm", zvtrace::Get16(b + i + 4)},
                           {"aux", zvtrace::Get32(b + i + 6)}});
        }
        return out;
    }
    if (std::strcmp(name, "identity") == 0 && n == 18) {
        for (std::size_t i = 2; i < n; i += 2) out.push_back(zvtrace::Get16(b + i));
        return {{"nmbrIds", b[0]}, {"revision", b[1]}, {"ids", out}};
    }
    return blockText(name, bytes);
}

std::string valueText(const Field& f, const Value& v) {
    switch (v.type) {
        case Type::U32:
            return std::to_string(v.number);
        case Type::I32:
            return std::to_string(v.Signed());
        case Type::Text:
            return Quoted(v.bytes);
        case Type::Bytes:
            return blockText(f.name, v.bytes);
        case Type::None:
            break;
    }
    return "none";
}

json valueJson(const Field& f, const Value& v) {
    switch (v.type) {
        case Type::U32:
            return v.number;
        case Type::I32:
            return v.Signed();
        case Type::Text:
            return latin1(v.bytes);
        case Type::Bytes:
            return blockJson(f.name, v.bytes);
        case Type::None:
            break;
    }
    return nullptr;
}

// A piece's call is the seq of the Process call it answers: a number of this run only.
bool handleLike(const Record& r, const Field& f) {
    return r.head.kind == Kind::Piece && std::strcmp(f.name, "call") == 0;
}

void appendFields(const Record& r, const Field* shape, const std::vector<Value>& values,
                  bool diffable, std::string& line) {
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (diffable && handleLike(r, shape[i])) continue;
        line += " ";
        line += shape[i].name;
        line += "=" + valueText(shape[i], values[i]);
    }
}

json fieldsJson(const Record& r, const Field* shape, const std::vector<Value>& values,
                bool diffable) {
    json out = json::object();
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (diffable && handleLike(r, shape[i])) continue;
        out[shape[i].name] = valueJson(shape[i], values[i]);
    }
    return out;
}

const char* kindName(Kind kind) {
    switch (kind) {
        case Kind::Call:
            return "call";
        case Kind::Note:
            return "note";
        case Kind::Piece:
            return "piece";
        case Kind::End:
            break;
    }
    return "end";
}

const char* endReason(std::uint8_t op) {
    return op == static_cast<std::uint8_t>(zvtrace::EndReason::SizeLimit) ? "size limit" : "closed";
}

bool hasStatus(const Record& r) {
    return r.head.kind == Kind::Call || r.head.kind == Kind::Piece;
}

// A call that answers a number gives it unsigned, Init's (an int) aside.
json answer(const Record& r) {
    if (r.head.op == static_cast<std::uint8_t>(zvtrace::Op::Init)) return r.head.status;
    return static_cast<std::uint32_t>(r.head.status);
}

// "0 (done)": the status with its words where the simulated engine knows them.
std::string statusText(std::int32_t status) {
    const char* words = zvsim::StatusText(status);
    std::string s = std::to_string(status);
    if (std::strcmp(words, "unknown status") != 0) s += std::string(" (") + words + ")";
    return s;
}

std::string header(const zvtrace::Header& h) {
    const time_t seconds = static_cast<time_t>(h.wallMs / 1000);
    struct tm utc {};
    char when[32] = "?";
    if (gmtime_r(&seconds, &utc) != nullptr) {
        std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &utc);
    }
    char buf[128];
    std::snprintf(buf, sizeof buf, "Trace of pid %" PRIu32 ", begun %s.%03u UTC, format version %u",
                  h.pid, when, static_cast<unsigned>(h.wallMs % 1000), h.version);
    return buf;
}

}  // namespace

std::string Quoted(const std::string& bytes) {
    std::string s = "\"";
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            s += '\\';
            s += c;
        } else if (b >= 0x20 && b < 0x7f) {
            s += c;
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", b);
            s += buf;
        }
    }
    return s + "\"";
}

std::string RecordLine(const Record& r, bool diffable) {
    std::string line;
    if (!diffable) {
        char buf[96];
        const std::string took =
            r.head.kind == Kind::Call ? "+" + ms(r.head.end - r.head.start) + " ms" : "";
        std::snprintf(buf, sizeof buf, "%12s ms %13s  thread %-3u #%-6" PRIu32 " ",
                      ms(r.head.start).c_str(), took.c_str(), r.head.thread, r.head.seq);
        line = buf;
    }
    if (r.head.kind == Kind::End) return line + "end: " + endReason(r.head.op);
    const zvtrace::Shape& shape = r.shape();
    if (r.head.kind == Kind::Note) line += "note ";
    line += r.head.kind == Kind::Piece ? "piece" : shape.name;
    appendFields(r, shape.request, r.request, diffable, line);
    if (hasStatus(r)) {
        line += " -> ";
        line += shape.statusIsAnswer ? answer(r).dump() : statusText(r.head.status);
    }
    appendFields(r, shape.reply, r.reply, diffable, line);
    return line;
}

json RecordJson(const Record& r, bool diffable) {
    json out{{"kind", kindName(r.head.kind)}};
    if (!diffable) {
        out["offset"] = r.offset;
        out["thread"] = r.head.thread;
        out["seq"] = r.head.seq;
        out["start_ns"] = r.head.start;
        if (r.head.kind == Kind::Call) out["end_ns"] = r.head.end;
    }
    if (r.head.kind == Kind::End) {
        out["reason"] = endReason(r.head.op);
        return out;
    }
    const zvtrace::Shape& shape = r.shape();
    if (r.head.kind != Kind::Piece) out["op"] = shape.name;
    out["request"] = fieldsJson(r, shape.request, r.request, diffable);
    if (shape.statusIsAnswer) {
        out["answer"] = answer(r);
    } else if (hasStatus(r)) {
        out["status"] = r.head.status;
        const char* words = zvsim::StatusText(r.head.status);
        if (std::strcmp(words, "unknown status") != 0) out["status_text"] = words;
    }
    if (r.head.kind == Kind::Call) out["reply"] = fieldsJson(r, shape.reply, r.reply, diffable);
    return out;
}

int ShowTrace(const std::string& path, const TraceShowOptions& o, std::FILE* out, std::FILE* err) {
    auto print = [&](const std::string& line) {
        std::fprintf(out, "%s\n", line.c_str());
    };
    auto printJson = [&](const json& object) {
        print(object.dump(-1, ' ', false, json::error_handler_t::replace));
    };
    int status = 0;
    std::string end = "no end record";
    std::uint64_t cutAt = 0;
    TraceSummary summary;
    try {
        zvtrace::Reader reader(path);
        if (!o.diffable && !o.json) print(header(reader.header()));
        Record record;
        try {
            while (reader.Next(record)) {
                end = record.head.kind == Kind::End ? endReason(record.head.op) : "no end record";
                if (o.summary) {
                    summary.Add(record);
                } else if (o.json) {
                    printJson(RecordJson(record, o.diffable));
                } else {
                    print(RecordLine(record, o.diffable));
                }
            }
        } catch (const std::runtime_error& e) {
            // The records before it stand: they are printed, or summed up below.
            std::fflush(out);
            std::fprintf(err, "pldctl: %s: %s\n", path.c_str(), e.what());
            end = "malformed record";
            status = 2;
        }
        if (reader.CutShort()) {
            end = "cut short";
            cutAt = reader.Offset();
            if (!o.summary && !o.json) {
                print("-- cut short at byte " + std::to_string(cutAt) +
                      ": the last record is incomplete (the writer stopped while writing it)");
            }
        }
    } catch (const std::runtime_error& e) {
        std::fprintf(err, "pldctl: %s\n", e.what());
        return 2;
    }
    if (o.summary && o.json) {
        printJson(summary.Json(o.diffable, end));
    } else if (o.summary) {
        summary.Print(out, o.diffable, end);
    } else if (o.json && status == 0) {
        json last{{"end", end}};
        if (end == "cut short") last["offset"] = cutAt;
        printJson(last);
    }
    std::fflush(out);
    return status;
}

}  // namespace pldctl
