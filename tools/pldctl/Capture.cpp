// `pldctl capture`: an engine's catalogue as its answers tell it, read through the proxy's public
// operations only, and written as a catalogue file that the simulated engine loads unchanged.
// No operation lists the devices or the points: device indices are probed until the inventory's
// number is found, and each device's GddIds by their label. The reports are those the points
// name and their ancestors; the events those the active-events answer names. What no read tells
// (write ranges, live points, event cycles, an event's label and device, a device's name, an
// inactive event's id) is left to the catalogue's defaults.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>

#include <nlohmann/json.hpp>

#include "Capture.h"
#include "Commands.h"
#include "Control.h"
#include "ZvPldTypes.h"
#include "dlog.h"

namespace pldctl {
namespace {

using zvsim::Kind;

// A status of the proxy's own: a text it refused as not ASCII.
constexpr int kNotAscii = -1;
// A failure whose status neither the result nor its log line tells.
constexpr int kUntold = -2;
// The modules read of one point: each is a read or two, and a count is the engine's word.
constexpr std::size_t kMaxModules = 256;

// The last log line of this thread: a result 2 names the engine's status only there.
thread_local std::string t_logLine;

void keepLastLine(int, const char*, const char* text, void*) {
    t_logLine = text;
}

std::string counted(std::size_t n, const char* what) {
    return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

std::string where(unsigned device, unsigned gddId) {
    return "device " + std::to_string(device) + " point " + std::to_string(gddId);
}

// Progress on a terminal only: a pipe or a file gets the catalogue and nothing else.
class Progress {
  public:
    Progress() : m_on(::isatty(STDERR_FILENO) == 1) {}
    void Show(const std::string& text, bool done) const {
        if (m_on) std::fprintf(stderr, "\r%-60s%s", text.c_str(), done ? "\n" : "");
    }

  private:
    const bool m_on;
};

class Walk {
  public:
    Walk(ZvPldProxy& proxy, unsigned first, unsigned last)
        : m_proxy(proxy), m_first(first), m_last(last) {}

    zvsim::Catalogue Run() {
        ZvVelInventory inv{};
        if (!m_proxy.GetPldInventory(&inv))
            throw CaptureFault("the engine's inventory cannot be read");
        m_cat.tickMs = 0;  // nothing the capture saw moves by itself
        for (unsigned index = 0; index <= 0xFFFF && m_cat.devices.size() < inv.nmbrDevices;
             ++index) {
            std::string label;
            if (read(m_proxy.GetLabelString(label, index, 0, 1, 0, nullptr)) == 1) continue;
            m_cat.devices[static_cast<std::uint16_t>(index)] = device(index);
        }
        CaptureEvents(m_proxy, m_cat, notes);
        return std::move(m_cat);
    }

    std::vector<std::string> notes;  // answers the catalogue cannot hold

  private:
    // The engine status behind a proxy's result: 0, 1 to 5 from 4096 to 4100, the status a
    // result 2's log line names, kNotAscii or kUntold. An engine gone ends the capture.
    static int status(int rc) {
        if (rc == 0) return 0;
        if (rc >= 0x1000 && rc <= 0x1004) return rc - 0x1000 + 1;
        if (t_logLine.find("non-ASCII character") != std::string::npos) return kNotAscii;
        const std::size_t at = t_logLine.find("error:");
        return at == std::string::npos ? kUntold : std::atoi(t_logLine.c_str() + at + 6);
    }
    static int read(int rc) {
        const int s = status(rc);
        t_logLine.clear();
        if (s == zvstatus::kNoEngine) throw CaptureFault("the engine is not reachable (status 13)");
        return s;
    }
    // A text read: the text, U+FFFD for one refused as not ASCII, or a note and "".
    std::string text(int rc, const std::string& got, const std::string& what) {
        return textOf(read(rc), got, what);
    }
    std::string textOf(int s, const std::string& got, const std::string& what) {
        if (s == 0) return got;
        if (s == kNotAscii) return kNotAsciiText;
        notes.push_back(what + ": answered status " + std::to_string(s));
        return "";
    }
    std::uint32_t attribute(int rc, unsigned long value, std::uint32_t fallback,
                            const std::string& what) {
        const int s = read(rc);
        if (s == 0) return static_cast<std::uint32_t>(value);
        notes.push_back(what + ": answered status " + std::to_string(s));
        return fallback;
    }

    zvsim::Device device(unsigned index) {
        zvsim::Device d;
        d.index = static_cast<std::uint16_t>(index);
        const unsigned short dev = d.index;
        unsigned long maxAncestors = 0;
        if (read(m_proxy.GetMaxNmbrAncestors(&maxAncestors, dev)) == 0) {
            d.maxAncestors = static_cast<std::uint32_t>(maxAncestors);
        }
        ZvProductIdentSeq* seq = nullptr;
        if (m_proxy.GetProdSeqId(&seq, dev)) {
            d.identity = zvsim::ProductIdentity{{seq->ids, seq->ids + seq->nmbrIds}, seq->revision};
            std::free(seq);
        }
        d.fdmVersion = m_proxy.GetFdmVersion(dev);
        t_logLine.clear();        // a refused identity block is logged, and tells no status
        std::size_t offline = 0;  // points whose values answer 1007
        for (unsigned g = m_first; g <= m_last; ++g) {
            if ((g & 0xFFF) == 0) {
                m_progress.Show("device " + std::to_string(index) + ": GddId " + std::to_string(g) +
                                    ", " + counted(d.points.size(), "point"),
                                false);
            }
            std::string label;
            const int s = read(
                m_proxy.GetLabelString(label, dev, static_cast<unsigned short>(g), 1, 0, nullptr));
            if (s == zvstatus::kUnknownPoint) continue;
            if (s == zvstatus::kUnknownDevice)
                throw CaptureFault("device " + std::to_string(index) + " went while it was read");
            zvsim::Point p = point(dev, static_cast<unsigned short>(g),
                                   textOf(s, label, where(index, g) + " label"));
            if (p.fails == zvstatus::kOffline) ++offline;
            if (p.report != 0) reports(d, p);
            d.points.emplace(p.gddId, std::move(p));
        }
        // A device whose every value answers 1007 is offline, as the catalogue says it.
        d.offline = !d.points.empty() && offline == d.points.size();
        for (auto& entry : d.points) {
            if (d.offline) entry.second.fails = 0;
        }
        for (auto& entry : d.reports) labels(dev, entry.second);
        m_progress.Show("device " + std::to_string(index) + ": " +
                            counted(d.points.size(), "point") + ", " +
                            counted(d.reports.size(), "report"),
                        true);
        return d;
    }

    zvsim::Point point(unsigned short dev, unsigned short g, const std::string& label) {
        const std::string at = where(dev, g);
        zvsim::Point p;
        p.gddId = g;
        p.label = label;
        std::string description;
        p.description = text(m_proxy.GetFullDescriptionString(description, dev, g, 1, 0),
                             description, at + " description");
        if (p.description == p.label) p.description.clear();  // the engine sent the label
        // Each attribute read before its value is taken: an argument's order is not fixed.
        unsigned long v = 0;
        int rc = m_proxy.GetVelPointAccessRights(&v, dev, g);
        p.accessRights = attribute(rc, v, zvsim::kRead, at + " access rights");
        if (p.accessRights != zvsim::kRead && p.accessRights != (zvsim::kRead | zvsim::kWrite)) {
            notes.push_back(at + " access rights " + std::to_string(p.accessRights) +
                            ": a catalogue says r or rw only");
        }
        rc = m_proxy.GetVelPointDataType(&v, dev, g);
        p.dataType = attribute(rc, v, 1, at + " data type");
        rc = m_proxy.GetVelPointUoMID(&v, dev, g);
        p.uomId = attribute(rc, v, 0, at + " unit id");
        rc = m_proxy.GetVelPointNormFactor(&v, dev, g);
        p.normFactor = attribute(rc, v, 1, at + " norm factor");
        if (!zvsim::RendersNormFactor(p.normFactor)) {
            notes.push_back(at + " norm factor " + std::to_string(p.normFactor) +
                            ": a catalogue takes a power of ten");
            p.normFactor = 1;
        }
        // A count of 0 is the count queries' failure; an array dimension of 0 answers so again.
        p.arrayDim = read(m_proxy.GetMaxArrayDim(&v, dev, g)) == 0 ? v : 0;
        const int moduleStatus = read(m_proxy.GetMaxModuleCnt(&v, dev, g));
        std::size_t modules = moduleStatus == 0 ? v : 0;
        if (modules == 0) {
            // Nothing tells the values: the point fails, with the one module a point has at least.
            notes.push_back(at + ": the module count " +
                            (moduleStatus > 0 ? "answered status " + std::to_string(moduleStatus)
                                              : std::string("reads 0")) +
                            ", the point kept as failing");
            p.fails = moduleStatus > 0 ? moduleStatus : zvstatus::kRejected;
            modules = 1;
        } else if (modules > kMaxModules) {
            notes.push_back(at + ": " + std::to_string(modules) + " modules, the first " +
                            std::to_string(kMaxModules) + " read");
            modules = kMaxModules;
        }
        units(p, dev, g);
        states(p, dev, g);
        values(p, dev, g, modules);
        unsigned long report = 0;
        if (read(m_proxy.GetPointReportNum(&report, dev, g)) == 0) {
            p.report = static_cast<std::uint32_t>(report);
        }
        return p;
    }

    // A unit label per selector, up to the first the engine does not know. An engine with no
    // unit labels answers "" for any selector: the bound then ends the walk.
    void units(zvsim::Point& p, unsigned short dev, unsigned short g) {
        constexpr unsigned kMaxUnits = 16;
        bool any = false;
        for (unsigned uofm = 0; uofm < kMaxUnits; ++uofm) {
            std::string unit;
            const int rc = m_proxy.GetUomLabelString(unit, dev, g, 1, 0, uofm);
            if (rc == 0x1004) return;  // status 5: no such selector
            p.units.push_back(text(rc, unit, where(dev, g) + " unit " + std::to_string(uofm)));
            any = any || !p.units.back().empty();
        }
        if (!any) {
            p.units.clear();
        } else {
            notes.push_back(where(dev, g) + ": more than 16 unit labels, the first 16 kept");
        }
    }

    void states(zvsim::Point& p, unsigned short dev, unsigned short g) {
        std::list<int> values;
        std::list<std::string> names;
        ZvEnumStateType type{};
        if (read(m_proxy.GetVelEnumStateInfo(&values, &names, &type, g, dev)) != 0) return;
        p.kind = Kind::Enum;
        p.enumType = type.type;
        auto name = names.begin();
        for (const int value : values) {
            p.states.push_back(zvsim::State{static_cast<std::uint16_t>(value),
                                            name != names.end() ? *name++ : std::string()});
        }
    }

    // Each module's value, which also tells a text point from a number: its number read answers
    // status 9. A read answering another status makes the point failing with it.
    void values(zvsim::Point& p, unsigned short dev, unsigned short g, std::size_t modules) {
        for (std::size_t m = 1; m <= modules && p.fails == 0; ++m) {
            const auto mm = static_cast<unsigned short>(m);
            int number = 0;
            std::string shown;
            int s = read(m_proxy.GetValueSInt32(&number, dev, g, mm, 0, 0, 0));
            if (s == zvstatus::kWrongType && p.kind != Kind::Enum) {
                s = read(m_proxy.GetValueString(shown, dev, g, mm, 0, 0, 0, nullptr));
                if (s == 0 || s == kNotAscii) {
                    p.kind = Kind::Text;
                    p.texts.push_back(textOf(s, shown, ""));
                    continue;
                }
            }
            if (s == kUntold || s == kNotAscii) {
                notes.push_back(where(dev, g) + " value: failed without a status, kept as 5");
                p.fails = zvstatus::kRejected;
            } else if (s != 0) {
                p.fails = s;
            } else {
                // A number the engine shows without a sign but reads as negative is unsigned.
                const bool shownSigned =
                    read(m_proxy.GetValueString(shown, dev, g, mm, 0, 0, 0, nullptr)) != 0 ||
                    shown.rfind('-', 0) == 0;
                if (p.kind == Kind::Int && (p.dataType == 2 || (number < 0 && !shownSigned))) {
                    p.kind = Kind::UInt;
                }
                p.values.push_back(number);
            }
        }
        if (p.fails != 0) {
            // Nothing tells the values: the data type says which kind, zeros stand for them.
            if (p.kind != Kind::Enum)
                p.kind = p.dataType == 3 ? Kind::Text : p.dataType == 2 ? Kind::UInt : Kind::Int;
            p.values.assign(p.kind == Kind::Text ? 0 : modules, 0);
            p.texts.assign(p.kind == Kind::Text ? modules : 0, "");
        }
        if (p.kind == Kind::UInt) {
            for (std::int64_t& v : p.values) v = static_cast<std::uint32_t>(v);
        }
    }

    // The point's report and its ancestors, as the point's hierarchy gives them.
    void reports(zvsim::Device& d, const zvsim::Point& p) {
        std::list<unsigned long> auxValues, gddIds;
        std::list<unsigned short> modules;
        zvsim::Report& own = d.reports[p.report];
        own.gddId = p.report;
        const int rc = m_proxy.GetHierarchyLists(auxValues, gddIds, modules, d.index,
                                                 static_cast<unsigned short>(p.gddId), 1);
        if (rc == 0x1002) {  // the engine keeps no ancestor record for the report
            own.ancestorRecord = false;
            return;
        }
        if (const int s = read(rc); s != 0) {
            notes.push_back(where(d.index, p.gddId) + " report hierarchy: answered status " +
                            std::to_string(s));
            return;
        }
        zvsim::Report* child = nullptr;
        auto aux = auxValues.begin();
        auto module = modules.begin();
        for (const unsigned long gddId : gddIds) {
            zvsim::Report& r = d.reports[static_cast<std::uint32_t>(gddId)];
            r.gddId = static_cast<std::uint32_t>(gddId);
            r.auxValue = static_cast<std::uint32_t>(*aux++);
            if (child != nullptr) {
                child->parent = r.gddId;
                child->parentModule = static_cast<std::uint16_t>(*module - 1);
            }
            ++module;
            child = &r;
        }
    }

    // Each module's label, up to the first module the report does not have.
    void labels(unsigned short dev, zvsim::Report& r) {
        const std::string at =
            "device " + std::to_string(dev) + " report " + std::to_string(r.gddId);
        if (r.gddId > 0xFFFF) {
            notes.push_back(at + ": a GddId above 65535, whose label cannot be asked for");
        }
        for (unsigned mm = 1; mm <= 0xFFFF && r.gddId <= 0xFFFF; ++mm) {
            std::string label;
            const int rc = m_proxy.GetReportLabel(label, dev, static_cast<unsigned short>(r.gddId),
                                                  static_cast<unsigned short>(mm));
            if (rc == 0x1002) break;  // status 3: no such module
            r.labels.push_back(text(rc, label, at + " label"));
        }
        if (r.labels.empty()) r.labels.push_back("");
    }

    ZvPldProxy& m_proxy;
    const unsigned m_first, m_last;
    zvsim::Catalogue m_cat;
    Progress m_progress;
};

// The file written whole or not at all: a temporary file beside it, renamed over it. A symbolic
// link or anything but a regular file at the path is refused, not followed or replaced.
void writeFile(const std::string& path, const std::string& text) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        throw CaptureFault(path + ": not a regular file (a link is not followed)");
    }
    // The mode a file made here would get (the umask's), or the one it has.
    const bool replaced = ::lstat(path.c_str(), &st) == 0;
    const mode_t umask = ::umask(0);
    ::umask(umask);
    const mode_t mode = replaced ? st.st_mode & 07777 : 0666 & ~umask;
    std::string temporary = path + ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) throw CaptureFault(path + ": " + std::strerror(errno));
    bool written = ::fchmod(fd, mode) == 0;
    for (std::size_t at = 0; written && at < text.size();) {
        const ssize_t n = ::write(fd, text.data() + at, text.size() - at);
        if (n < 0 && errno == EINTR) continue;
        written = n > 0;
        if (written) at += static_cast<std::size_t>(n);
    }
    written = ::fsync(fd) == 0 && written;
    if (::close(fd) != 0 || !written || ::rename(temporary.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        throw CaptureFault(path + ": cannot be written: " + std::strerror(error));
    }
}

}  // namespace

int Capture(ZvPldProxy& proxy, const CaptureOptions& options) {
    const bool toStdout = options.out.empty() || options.out == "-";
    dlog_set_sink(keepLastLine, nullptr);
    Walk walk(proxy, options.firstGddId, options.lastGddId);
    try {
        const zvsim::Catalogue catalogue = walk.Run();
        const std::string text = CatalogueText(catalogue);
        // The simulated engine's own bound on a catalogue file.
        if (text.size() > 4 << 20) {
            walk.notes.push_back(
                "the file has more than 4 MiB, which the simulated engine refuses");
        }
        if (toStdout) {
            const bool written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
            if (std::fflush(stdout) != 0 || !written)
                throw CaptureFault("stdout: cannot be written");
        } else {
            writeFile(options.out, text);
        }
        std::size_t points = 0, reports = 0;
        for (const auto& entry : catalogue.devices) {
            points += entry.second.points.size();
            reports += entry.second.reports.size();
        }
        for (const std::string& note : walk.notes) {
            std::fprintf(stderr, "pldctl: capture: %s\n", note.c_str());
        }
        if (options.json) {
            PrintJson({{"ok", walk.notes.empty()},
                       {"out", options.out},
                       {"devices", catalogue.devices.size()},
                       {"points", points},
                       {"reports", reports},
                       {"events", catalogue.events.size()},
                       {"notes", walk.notes}});
        }
        return walk.notes.empty() ? 0 : 1;
    } catch (const CaptureFault& e) {
        std::fprintf(stderr, "pldctl: capture: %s\n", e.what());
        if (options.json) PrintJson({{"ok", false}, {"error", e.what()}});
        return 1;
    }
}

}  // namespace pldctl
