// Arbitrary bytes, cut into arbitrary chunks, fed to the frame decoder: nothing may crash or
// leak; each message it gives re-encodes to a frame that decodes to the same message; once it
// has failed it stays failed.
//
// The daemon's decoder, with the limits of a request, is fed the same chunks. And the stream,
// taken whole as one message's bytes, is read both by the codec and by nlohmann's from_msgpack,
// which peers of earlier builds use: both accept it and read the same document, or both refuse it
// (unless the codec refuses it for a limit).
//
// Input: [n] then n chunk lengths (bytes, 0 taken as 1), used in turn over and over; the rest
// is the stream.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "JsonPack.h"
#include "Wire.h"

#define CHECK(cond)                                                                          \
    ((cond) ? void()                                                                         \
            : (std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond), \
               std::abort()))

namespace {

void sameAsNlohmann(const std::uint8_t* data, std::size_t size) {
    zvwire::PackIndex index;
    std::string error;
    const bool ours = index.Read(data, size, zvwire::Limits{}, error);
    if (!ours && error != "frame is not MessagePack") return;
    nlohmann::json theirs;
    try {
        theirs = nlohmann::json::from_msgpack(data, data + size);
    } catch (const nlohmann::json::exception&) {
        CHECK(!ours);
        return;
    }
    CHECK(ours);
    // As bytes: a NaN is not equal to itself.
    CHECK(nlohmann::json::to_msgpack(zvwire::ReadJson(data, size)) ==
          nlohmann::json::to_msgpack(theirs));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t chunks = std::min<std::size_t>(data[0], size - 1);
    const std::uint8_t* const lengths = data + 1;
    const std::uint8_t* stream = data + 1 + chunks;
    std::size_t left = size - 1 - chunks;
    sameAsNlohmann(stream, left);

    using Result = zvwire::FrameDecoder::Result;
    zvwire::FrameDecoder decoder;
    // The daemon's, with its tight limits, on the same chunks: a message it gives fits them.
    zvwire::FrameDecoder strict(zvwire::kRequestLimits);
    bool bad = false;
    for (std::size_t i = 0; left > 0; ++i) {
        std::size_t n = chunks == 0 ? left : lengths[i % chunks];
        n = std::min<std::size_t>(n == 0 ? 1 : n, left);
        decoder.Feed(stream, n);
        strict.Feed(stream, n);
        stream += n;
        left -= n;
        nlohmann::json message;
        Result result;
        while ((result = decoder.Next(message)) == Result::Message) {
            CHECK(!bad);
            CHECK(message.is_object());
            std::vector<std::uint8_t> frame;
            // Re-encoding may widen a number (a float32 comes back a float64), but only an input
            // near the limit can grow past it.
            const bool encoded = zvwire::AppendFrame(message, frame);
            CHECK(encoded || size > zvwire::kMaxFrame / 4);
            if (!encoded) continue;
            zvwire::FrameDecoder again;
            again.Feed(frame.data(), frame.size());
            nlohmann::json decoded;
            CHECK(again.Next(decoded) == Result::Message);
            CHECK(decoded == message);
            CHECK(again.Next(decoded) == Result::NeedMore);
        }
        for (nlohmann::json m; strict.Next(m) == Result::Message;) {
            CHECK(m.is_object() && m.size() <= zvwire::kRequestLimits.maxElements);
        }
        if (result == Result::Bad) {
            CHECK(!decoder.Error().empty());
            bad = true;
        } else {
            CHECK(!bad);
        }
    }
    return 0;
}
