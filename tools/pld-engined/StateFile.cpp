#include "StateFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "BoundedFile.h"
#include "Io.h"
#include "Log.h"

namespace pldengined {

StateFile::StateFile(zvsim::SimEngine& engine, StateLocation at)
    : m_engine(engine), m_at(std::move(at)), m_shadow(m_at.path.empty() ? nullptr : [this] {
          zvsim::Catalogue catalogue = m_engine.Snapshot();
          catalogue.tickMs = 0;  // its values come from the engine, before each batch
          // Online, whatever the engine is now: the shadow must refuse no write that the engine
          // could accept, which would then change a value that was not saved.
          for (auto& [index, device] : catalogue.devices) device.offline = false;
          auto shadow = std::make_unique<zvsim::SimEngine>(std::move(catalogue));
          shadow->SetJournalCapacity(0);  // every write is made on the engine, and journaled there
          return shadow;
      }()) {}

std::vector<Y4_Status> StateFile::Commit(const std::vector<const Write*>& batch) {
    // A write the engine never answers is answered 13: the daemon's own failure.
    std::vector<Y4_Status> statuses(batch.size(), zvsim::kNoEngine);
    if (!m_shadow) {
        for (std::size_t i = 0; i < batch.size(); ++i) statuses[i] = (*batch[i])(m_engine);
        return statuses;
    }
    try {
        const std::string before = m_engine.ValuesJson();
        m_shadow->LoadValues(before);
        std::vector<Y4_Status> tried(batch.size());
        bool accepted = false;
        for (std::size_t i = 0; i < batch.size(); ++i)
            accepted |= (tried[i] = (*batch[i])(*m_shadow)) == zvsim::kOk;
        const bool saved = !accepted || save(before);
        // The same writes on the engine, in their order, on the same values: those the shadow
        // accepted once they are saved, and those it refused, which the engine refuses too (the
        // run-time controls only refuse more), so that every client's write is journaled and
        // shaped by the controls as any call is. Should the engine answer otherwise than the
        // shadow (an offline device, a failing point: the shadow knows nothing of them), the file
        // is saved again from the engine, so that a restart brings back exactly the values
        // acknowledged.
        bool differs = false;
        for (std::size_t i = 0; i < batch.size(); ++i) {
            if (tried[i] == zvsim::kOk && !saved) continue;
            statuses[i] = (*batch[i])(m_engine);
            differs |= (statuses[i] == zvsim::kOk) != (tried[i] == zvsim::kOk);
        }
        if (differs &&
            WriteFileAtomically(m_at.dirFd, m_at.name, m_engine.ValuesJson()) == Saved::No) {
            Log("cannot save the state to %s: %s", m_at.path.c_str(), std::strerror(errno));
        }
    } catch (const std::exception& e) {  // values that JSON cannot hold, or no memory
        Log("cannot save the state to %s: %s", m_at.path.c_str(), e.what());
    }
    return statuses;
}

bool StateFile::save(const std::string& before) {
    const Saved saved = WriteFileAtomically(m_at.dirFd, m_at.name, m_shadow->ValuesJson());
    if (saved == Saved::Yes) return true;
    Log("cannot save the state to %s: %s", m_at.path.c_str(), std::strerror(errno));
    // Renamed into place all the same: the values before the batch go back, so that a restart
    // does not bring back writes answered 13.
    if (saved == Saved::NotDurable &&
        WriteFileAtomically(m_at.dirFd, m_at.name, before) == Saved::No) {
        Log("cannot restore %s, which holds writes answered 13: %s", m_at.path.c_str(),
            std::strerror(errno));
    }
    return false;
}

void StateFile::Save() {
    if (!m_shadow) return;
    try {
        if (WriteFileAtomically(m_at.dirFd, m_at.name, m_engine.ValuesJson()) != Saved::Yes) {
            Log("cannot save the state to %s: %s", m_at.path.c_str(), std::strerror(errno));
        }
    } catch (const std::exception& e) {  // no memory
        Log("cannot save the state to %s: %s", m_at.path.c_str(), e.what());
    }
}

bool OpenStateDirectory(const std::string& path, StateLocation& at, std::string& error) {
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "."
                            : slash == 0               ? "/"
                                                       : path.substr(0, slash);
    at = StateLocation{path, path.substr(slash == std::string::npos ? 0 : slash + 1), -1};
    if (at.name.empty() || at.name == "." || at.name == "..") {
        error = "state file " + path + ": not the name of a file";
        return false;
    }
    std::vector<std::string> names;  // from the root, or from the working directory
    for (std::size_t from = 0; from <= dir.size();) {
        const std::size_t end = std::min(dir.find('/', from), dir.size());
        if (end > from && dir.compare(from, end - from, ".") != 0) {
            names.push_back(dir.substr(from, end - from));
        }
        from = end + 1;
    }
    const bool absolute = !path.empty() && path[0] == '/';
    std::string shown = absolute ? "/" : ".";
    // From the root the first name is opened by its whole path and the root checked as its
    // parent: an emulator (qemu-user) may give its own system's root for "/".
    int fd =
        absolute && !names.empty() ? -1 : ::open(shown.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const auto fault = [&](const std::string& why) {
        error = "cannot use " + dir + " for the state file: " + why;
        if (fd >= 0) ::close(fd);
        return false;
    };
    // A directory of uid U: "" when it will do, else what it is.
    const auto judge = [&](int dirFd, const std::string& name, bool last) -> std::string {
        struct stat st {};
        if (::fstat(dirFd, &st) != 0) return name + ": " + std::strerror(errno);
        const bool ours = st.st_uid == ::geteuid(), others = (st.st_mode & 022) != 0;
        if (last ? ours && !others
                 : (ours || st.st_uid == 0) && (!others || (st.st_mode & S_ISVTX) != 0)) {
            return "";
        }
        char found[64];
        std::snprintf(found, sizeof found, "a directory of uid %u, mode %04o",
                      static_cast<unsigned>(st.st_uid), static_cast<unsigned>(st.st_mode & 07777));
        return name + " is " + found +
               (last ? ", not one of uid " + std::to_string(::geteuid()) +
                           " that no one else may write to"
                     : ": each directory on the way must be root's or uid " +
                           std::to_string(::geteuid()) +
                           "'s, and one that others may write to must be sticky");
    };
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string next = shown + (shown.back() == '/' ? "" : "/") + names[i];
        const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
        const int child =
            fd < 0 ? ::open(next.c_str(), flags) : ::openat(fd, names[i].c_str(), flags);
        if (child < 0) {
            const std::string why = std::strerror(errno);
            struct stat st {};
            const bool link =
                ::fstatat(fd < 0 ? AT_FDCWD : fd, fd < 0 ? next.c_str() : names[i].c_str(), &st,
                          AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISLNK(st.st_mode);
            return fault(next + (link ? " is a symbolic link, which is not followed: give the "
                                        "directory's own path"
                                      : ": " + why));
        }
        const int parent = fd >= 0 ? fd : ::openat(child, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        const std::string why =
            parent < 0 ? shown + ": " + std::strerror(errno) : judge(parent, shown, false);
        if (parent >= 0 && parent != fd) ::close(parent);
        if (fd >= 0) ::close(fd);
        fd = child;
        if (!why.empty()) return fault(why);
        shown = next;
    }
    if (fd < 0) return fault(shown + ": " + std::strerror(errno));
    const std::string why = judge(fd, shown, true);
    if (!why.empty()) return fault(why);
    at.dirFd = fd;
    return true;
}

namespace {

// The names of new files (kTempDigits random hex digits) that saves give before their renames.
constexpr std::size_t kTempDigits = 16;
std::string tempPrefix(const std::string& name) {
    return "." + name + ".";
}

}  // namespace

bool LoadState(const StateLocation& at, zvsim::SimEngine& engine, std::string& error) {
    // A new file that a daemon stopped in a save left behind goes: only the daemon's user may
    // write in the directory, so a name of that form is one of its saves'.
    const int listFd = ::openat(at.dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (DIR* dir = listFd < 0 ? nullptr : ::fdopendir(listFd); dir != nullptr) {
        const std::string prefix = tempPrefix(at.name);
        // 64-bit entries: on a 32-bit target plain readdir fails on a file system whose entries
        // carry 64-bit offsets (ext4's hashes).
        while (const dirent64* entry = ::readdir64(dir)) {
            const std::string n = entry->d_name;
            if (n.size() == prefix.size() + kTempDigits + 4 && n.rfind(prefix, 0) == 0 &&
                n.find_first_not_of("0123456789abcdef", prefix.size()) == n.size() - 4 &&
                n.compare(n.size() - 4, 4, ".tmp") == 0) {
                ::unlinkat(at.dirFd, n.c_str(), 0);
            }
        }
        ::closedir(dir);
    } else if (listFd >= 0) {
        ::close(listFd);
    }
    struct stat st {};
    if (::fstatat(at.dirFd, at.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT) {
        return true;
    }
    std::string text;
    // Not followed: a link there would load whatever file it leads to, anyone's.
    std::string fault = zvfiles::ReadFile(at.dirFd, at.name, O_NOFOLLOW, kMaxStateBytes, text);
    if (fault.empty()) {
        try {
            engine.LoadValues(text);
        } catch (const std::exception& e) {
            fault = e.what();
        }
    }
    if (!fault.empty()) error = "state file " + at.path + ": " + fault;
    return fault.empty();
}

Saved WriteFileAtomically(int dirFd, const std::string& name, const std::string& text) {
    if (text.size() > kMaxStateBytes) {
        errno = EFBIG;
        return Saved::No;
    }
    // A name no one can plant anything at beforehand.
    unsigned char random[kTempDigits / 2];
    if (::getentropy(random, sizeof random) != 0) return Saved::No;
    std::string temp = tempPrefix(name);
    for (const unsigned char byte : random) {
        temp += "0123456789abcdef"[byte >> 4];
        temp += "0123456789abcdef"[byte & 15];
    }
    temp += ".tmp";
    const int fd =
        ::openat(dirFd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return Saved::No;
    const char* at = text.data();
    std::size_t left = text.size();
    bool ok = true;
    errno = 0;
    while (ok && left > 0) {
        const ssize_t n = zvwire::RetryEintr([&] { return ::write(fd, at, left); });
        ok = n > 0;
        if (ok) {
            at += n;
            left -= static_cast<std::size_t>(n);
        }
    }
    if (ok && ::fsync(fd) != 0) ok = false;
    int error = ok ? 0 : (errno != 0 ? errno : EIO);
    if (::close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && ::renameat(dirFd, temp.c_str(), dirFd, name.c_str()) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        ::unlinkat(dirFd, temp.c_str(), 0);
        errno = error;
        return Saved::No;
    }
    // The rename itself lasts once the directory is on disk.
    static const bool failSync = std::getenv("PLD_ENGINED_TEST_FAIL_DIRECTORY_SYNC") != nullptr;
    ok = failSync ? (errno = EIO, false) : ::fsync(dirFd) == 0;
    return ok ? Saved::Yes : Saved::NotDurable;
}

}  // namespace pldengined
