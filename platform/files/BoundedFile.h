// Files the tools read (scenarios, catalogues, the engine daemon's state): read as regular files
// only, within a size limit, and checked for nesting before any JSON parser sees them. A file
// named on a command line may be anyone's, or no file at all (a FIFO that blocks its reader,
// /dev/zero that never ends); what is wrong is told without quoting the file.
#ifndef ZV_BOUNDED_FILE_H
#define ZV_BOUNDED_FILE_H

#include <cstddef>
#include <string>

namespace zvfiles {

// How deep a file's lists and objects may nest. The deepest file the tools read nests 7 levels;
// the JSON library recurses once a level when it copies, prints or frees a value, so that a file
// nested some thousands deep would take the stack.
constexpr std::size_t kMaxDepth = 32;

// Reads the file `name`, opened relative to `dirFd` (AT_FDCWD: the working directory) with
// `flags` added (O_NOFOLLOW for a file of the daemon's own), into `text`, refusing anything but a
// regular file and a file of more than `limit` bytes; at most `limit` + 1 bytes are read. "" when
// read; else what is wrong, in words that name neither the path nor the content: "it is a FIFO,
// not a regular file", "it has more than N bytes", "it cannot be opened: ..." (errno is then the
// open's).
std::string ReadFile(int dirFd, const std::string& name, int flags, std::size_t limit,
                     std::string& text);
std::string ReadFile(const std::string& path, std::size_t limit, std::string& text);
// The same of a file open already, read from its start.
std::string ReadOpenFile(int fd, std::size_t limit, std::string& text);

// "" when no list or object of the JSON `text` is nested deeper than kMaxDepth; else where one
// is. A scan of the bytes that counts brackets outside strings, made before the parser.
std::string NestingFault(const std::string& text);

// The JSON parser's message without the text it quotes (its "last read: '...'", which may be a
// whole line of someone else's file): what went wrong and where.
std::string ParseFault(const std::string& parserMessage);

// A text of a file as a message shows it: at most its first 32 bytes, then "...".
std::string Shown(const std::string& text);

}  // namespace zvfiles

#endif
