#include "StateFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "Io.h"
#include "Log.h"

namespace pldengined {

StateFile::StateFile(zvsim::SimEngine& engine, std::string path)
    : m_engine(engine), m_path(std::move(path)), m_shadow(m_path.empty() ? nullptr : [this] {
          zvsim::Catalogue catalogue = m_engine.Snapshot();
          catalogue.tickMs = 0;  // its values come from the engine, before each batch
          return std::make_unique<zvsim::SimEngine>(std::move(catalogue));
      }()) {}

std::vector<Y4_Status> StateFile::Commit(const std::vector<const Write*>& batch) {
    std::vector<Y4_Status> statuses(batch.size(), zvsim::kNoEngine);
    if (!m_shadow) {
        for (std::size_t i = 0; i < batch.size(); ++i) statuses[i] = (*batch[i])(m_engine);
        return statuses;
    }
    try {
        const std::string before = m_engine.ValuesJson();
        m_shadow->LoadValues(before);
        bool accepted = false;
        for (std::size_t i = 0; i < batch.size(); ++i)
            accepted |= (statuses[i] = (*batch[i])(*m_shadow)) == zvsim::kOk;
        if (!accepted) return statuses;
        const Saved saved = WriteFileAtomically(m_path, m_shadow->ValuesJson());
        if (saved != Saved::Yes) {
            Log("cannot save the state to %s: %s", m_path.c_str(), std::strerror(errno));
            // Renamed into place all the same: the values before the batch go back, so that a
            // restart does not bring back writes answered 13.
            if (saved == Saved::NotDurable && WriteFileAtomically(m_path, before) == Saved::No) {
                Log("cannot restore %s, which holds writes answered 13: %s", m_path.c_str(),
                    std::strerror(errno));
            }
            for (Y4_Status& status : statuses) {
                if (status == zvsim::kOk) status = zvsim::kNoEngine;
            }
            return statuses;
        }
        // The same write on the same values: the engine answers as the shadow did, unless the
        // run-time control refuses it (an offline device, a failing point), which the shadow
        // knows nothing of. Then the file is saved again from the engine, so that a restart does
        // not bring back a value no client could read.
        bool refused = false;
        for (std::size_t i = 0; i < batch.size(); ++i) {
            if (statuses[i] != zvsim::kOk) continue;
            statuses[i] = (*batch[i])(m_engine);
            refused |= statuses[i] != zvsim::kOk;
        }
        if (refused && WriteFileAtomically(m_path, m_engine.ValuesJson()) == Saved::No) {
            Log("cannot save the state to %s: %s", m_path.c_str(), std::strerror(errno));
        }
    } catch (const std::exception& e) {  // values that JSON cannot hold, or no memory
        Log("cannot save the state to %s: %s", m_path.c_str(), e.what());
        statuses.assign(batch.size(), zvsim::kNoEngine);
    }
    return statuses;
}

Saved WriteFileAtomically(const std::string& path, const std::string& text) {
    const std::string temp = path + ".tmp";
    // Whatever has that name, left by a save that died or planted there to turn the write onto
    // another file, goes first: unlink removes a link itself, and the file written must be new.
    if (::unlink(temp.c_str()) != 0 && errno != ENOENT) return Saved::No;
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
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
    if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        ::unlink(temp.c_str());
        errno = error;
        return Saved::No;
    }
    // The rename itself lasts once the directory is on disk.
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "."
                            : slash == 0               ? "/"
                                                       : path.substr(0, slash);
    static const bool failSync = std::getenv("PLD_ENGINED_TEST_FAIL_DIRECTORY_SYNC") != nullptr;
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0) return Saved::NotDurable;
    ok = failSync ? (errno = EIO, false) : ::fsync(dfd) == 0;
    error = errno;
    ::close(dfd);
    errno = error;
    return ok ? Saved::Yes : Saved::NotDurable;
}

}  // namespace pldengined
