#include "Access.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

#include "Log.h"
#include "Peer.h"

namespace pldengined {

namespace {

std::string counted(unsigned long n) {
    return n == 1 ? "a connection" : std::to_string(n) + " connections";
}

}  // namespace

bool Access::FindGroup() {
    group gr{};
    group* found = nullptr;
    std::vector<char> buf(65536);
    if (::getgrnam_r(groupName.c_str(), &gr, buf.data(), buf.size(), &found) != 0 ||
        found == nullptr) {
        return false;
    }
    gid = gr.gr_gid;
    return true;
}

bool Access::Allows(int fd) const {
    const auto now = Throttle::Clock::now();
    const std::optional<ucred> peer = zvwire::PeerOf(fd);
    if (!peer) {
        lastFailure = errno;
        if (const unsigned long n = unknown.Count(now)) tellUnknown(n);
        return false;
    }
    if (zvwire::IsOwnUserOrRoot(*peer)) return true;
    if (!groupName.empty() && (peer->gid == gid || isMember(peer->uid))) return true;
    lastStranger = *peer;
    if (const unsigned long n = strangers.Count(now)) tellStrangers(n);
    return false;
}

void Access::TellWithheld(Throttle::Clock::time_point now) const {
    if (const unsigned long n = unknown.Withheld(now)) tellUnknown(n);
    if (const unsigned long n = strangers.Withheld(now)) tellStrangers(n);
}

bool Access::isMember(uid_t uid) const {
    passwd pw{};
    passwd* found = nullptr;
    std::vector<char> buf(16384);
    if (::getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) != 0 || found == nullptr) {
        return false;
    }
    std::vector<gid_t> groups(32);
    int count = static_cast<int>(groups.size());
    while (::getgrouplist(pw.pw_name, pw.pw_gid, groups.data(), &count) < 0 &&
           count > static_cast<int>(groups.size())) {
        groups.resize(static_cast<std::size_t>(count));
    }
    groups.resize(std::min(groups.size(), static_cast<std::size_t>(std::max(count, 0))));
    return std::find(groups.begin(), groups.end(), gid) != groups.end();
}

void Access::tellUnknown(unsigned long n) const {
    Log("refused %s: %s credentials are unknown (%s)", counted(n).c_str(), n == 1 ? "its" : "their",
        std::strerror(lastFailure));
}

void Access::tellStrangers(unsigned long n) const {
    Log("refused %s from uid %u, gid %u (pid %d): only the daemon's user (uid %u), root%s%s may "
        "connect",
        (n == 1 ? std::string("a connection") : counted(n) + ", the last").c_str(),
        static_cast<unsigned>(lastStranger.uid), static_cast<unsigned>(lastStranger.gid),
        static_cast<int>(lastStranger.pid), static_cast<unsigned>(::geteuid()),
        groupName.empty() ? "" : " and the members of group ", groupName.c_str());
}

}  // namespace pldengined
