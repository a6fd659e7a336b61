// pldweb: a web console on libZvPldProxy, used as a device's web front end uses it. A JSON API
// for the devices and points, writes, report hierarchies, device information and the active
// events; the proxy's notifications pushed to every open page as server-sent events; and one
// page that shows it all. The README's "Web console" section lists the API.
#include <signal.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <exception>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "ZvPldProxy.h"
#include "ZvPldTypes.h"
#include "dlog.h"
#include "sim/SimEngine.h"

extern const char* const kPldwebPage;  // page.html, embedded at build time

namespace {

using json = nlohmann::json;

// A request body is a write's small JSON object; a larger one is refused and never kept.
constexpr size_t kMaxBody = 64 * 1024;
// A waiting active-events request holds a server thread that long.
constexpr unsigned short kMaxActiveEventsWaitMs = 10000;

// ---------------------------------------------------------------------------------------------
// Result codes

std::string describe(int rc) {
    if (rc == 0) return "0 (ok)";
    if (rc == 2) return "2 (failed)";
    if (rc >= 0x1000 && rc <= 0x1004) {
        const int status = rc - 0x1000 + 1;
        return std::to_string(rc) + " (engine status " + std::to_string(status) + ": " +
               zvsim::StatusText(status) + ")";
    }
    return std::to_string(rc) + " (unexpected result)";
}

// The HTTP status for a failed operation: an address the engine does not know is not found; what
// it refused of a known point is unprocessable.
int httpStatusOf(int rc) {
    return rc == 0x1000 || rc == 0x1001 ? 404 : 422;
}

// ---------------------------------------------------------------------------------------------
// Log lines. The proxy logs on the caller's thread, so a request collects the lines of its own
// calls and returns them with a failure; other lines at error level go to stderr.

thread_local std::vector<std::string>* t_logLines = nullptr;
std::mutex g_stderrMutex;

void logLine(int level, const char* tag, const char* text, void*) {
    if (t_logLines != nullptr && level <= 5) {
        t_logLines->push_back(std::string(tag) + ": " + text);
    } else if (level <= 3) {
        std::lock_guard<std::mutex> lock(g_stderrMutex);
        std::fprintf(stderr, "%s[%d]: %s\n", tag, level, text);
    }
}

struct CollectLog {
    std::vector<std::string> lines;
    CollectLog() { t_logLines = &lines; }
    ~CollectLog() { t_logLines = nullptr; }
    CollectLog(const CollectLog&) = delete;
    CollectLog& operator=(const CollectLog&) = delete;
};

// ---------------------------------------------------------------------------------------------
// Replies

// Engine texts are not always UTF-8 (a label cut in a character, a Latin-1 catalogue): such
// bytes are replaced rather than let the dump throw.
void reply(httplib::Response& res, int status, const json& body) {
    res.status = status;
    res.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace) + "\n",
                    "application/json");
}

void fail(httplib::Response& res, int status, const std::string& message) {
    reply(res, status, json{{"error", message}});
}

struct HttpError {
    int status;
    std::string message;
};

// A device index or GddId from the path; the proxy takes 16 bits.
unsigned short pathNumber(const httplib::Request& req, std::size_t i, const char* what) {
    const std::string& text = req.matches[i];
    if (text.size() > 5 || std::stoul(text) > 0xFFFF) {
        throw HttpError{404, std::string("no such ") + what + ": " + text};
    }
    return static_cast<unsigned short>(std::stoul(text));
}

unsigned short queryNumber(const httplib::Request& req, const char* name, unsigned short fallback,
                           unsigned long min, unsigned long max = 0xFFFF) {
    if (!req.has_param(name)) return fallback;
    const std::string text = req.get_param_value(name);
    char* end = nullptr;
    const unsigned long v = std::strtoul(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || text[0] == '-' || v < min || v > max) {
        throw HttpError{400, std::string("query parameter ") + name + " must be a number from " +
                                 std::to_string(min) + " to " + std::to_string(max)};
    }
    return static_cast<unsigned short>(v);
}

// Runs a handler, turning bad input and anything thrown into a JSON error.
template <class Handler>
httplib::Server::Handler guarded(Handler handler) {
    return [handler](const httplib::Request& req, httplib::Response& res) {
        try {
            handler(req, res);
        } catch (const HttpError& e) {
            fail(res, e.status, e.message);
        } catch (const std::exception& e) {
            fail(res, 500, std::string("internal error: ") + e.what());
        }
    };
}

// ---------------------------------------------------------------------------------------------
// Live updates: each open page has a bounded queue of server-sent events. A page that cannot
// keep up is dropped; its EventSource reconnects and reloads what it shows.

class Hub {
  public:
    static constexpr std::size_t kMaxClients = 16;
    static constexpr std::size_t kMaxQueued = 512;

    struct Client {
        std::mutex mutex;
        std::condition_variable ready;
        std::deque<std::string> queue;
        bool closed = false;
    };

    std::shared_ptr<Client> subscribe() {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping || m_clients.size() >= kMaxClients) return nullptr;
        m_clients.push_back(std::make_shared<Client>());
        return m_clients.back();
    }

    void unsubscribe(const std::shared_ptr<Client>& client) {
        close(*client);
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_clients.begin(); it != m_clients.end(); ++it) {
            if (*it == client) {
                m_clients.erase(it);
                break;
            }
        }
    }

    void publish(const char* event, const json& data) {
        const std::string message =
            std::string("event: ") + event +
            "\ndata: " + data.dump(-1, ' ', false, json::error_handler_t::replace) + "\n\n";
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_clients.begin(); it != m_clients.end();) {
            Client& c = **it;
            std::unique_lock<std::mutex> clientLock(c.mutex);
            if (c.queue.size() >= kMaxQueued) c.closed = true;
            if (c.closed) {
                clientLock.unlock();
                c.ready.notify_all();
                it = m_clients.erase(it);
                continue;
            }
            c.queue.push_back(message);
            clientLock.unlock();
            c.ready.notify_all();
            ++it;
        }
    }

    void stop() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        for (const auto& c : m_clients) close(*c);
        m_clients.clear();
    }

    std::size_t clients() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_clients.size();
    }

  private:
    static void close(Client& c) {
        {
            std::lock_guard<std::mutex> lock(c.mutex);
            c.closed = true;
        }
        c.ready.notify_all();
    }

    std::mutex m_mutex;
    std::vector<std::shared_ptr<Client>> m_clients;
    bool m_stopping = false;
};

// The stream of one page: queued events as they come, a comment now and then so that a page
// that went away is noticed by a failed write.
void serveStream(Hub& hub, httplib::Response& res) {
    std::shared_ptr<Hub::Client> client = hub.subscribe();
    if (!client) {
        fail(res, 503, "too many open pages, or stopping");
        return;
    }
    res.set_header("Cache-Control", "no-cache");
    auto first = std::make_shared<bool>(true);
    res.set_chunked_content_provider(
        "text/event-stream",
        [client, first](std::size_t, httplib::DataSink& sink) {
            std::deque<std::string> batch;
            {
                std::unique_lock<std::mutex> lock(client->mutex);
                client->ready.wait_for(lock, std::chrono::seconds(2),
                                       [&] { return client->closed || !client->queue.empty(); });
                if (client->closed) return false;
                batch.swap(client->queue);
            }
            if (*first) {
                *first = false;
                batch.push_front("retry: 1000\n\n");
            }
            if (batch.empty()) batch.push_back(": keep-alive\n\n");
            for (const std::string& message : batch) {
                if (!sink.write(message.data(), message.size())) return false;
            }
            return true;
        },
        [&hub, client](bool) { hub.unsubscribe(client); });
}

// ---------------------------------------------------------------------------------------------
// Notifications. The callbacks that the draining calls make get no context of their own.

const zvsim::Catalogue* g_catalogue = nullptr;
Hub* g_hub = nullptr;

const zvsim::Point* pointOf(std::uint16_t deviceIdx, std::uint32_t gddId) {
    const auto dev = g_catalogue->devices.find(deviceIdx);
    if (dev == g_catalogue->devices.end()) return nullptr;
    const auto pnt = dev->second.points.find(gddId);
    return pnt == dev->second.points.end() ? nullptr : &pnt->second;
}

// The data of a value change as the engine renders the value: numbers and states come as two
// 16-bit units, high half first; texts one unit a character. Null for what cannot be decoded.
json decodedValue(const ZvValChgInfo& info) {
    const zvsim::Point* point = pointOf(info.deviceIdx, info.valueId);
    if (point == nullptr || info.pData == nullptr) return nullptr;
    if (point->kind == zvsim::Kind::Text) {
        std::string text;
        for (std::uint16_t i = 0; i < info.length; ++i) {
            const std::uint16_t c = info.pData[i];
            text += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
        }
        return text;
    }
    if (info.length != 2) return nullptr;
    const std::uint32_t raw = (std::uint32_t{info.pData[0]} << 16) | info.pData[1];
    const std::int64_t value = point->kind == zvsim::Kind::Int
                                   ? std::int64_t{static_cast<std::int32_t>(raw)}
                                   : std::int64_t{raw};
    return zvsim::RenderValue(*point, value);
}

void valueChanged(void*, const ZvValChgInfo* info) {
    g_hub->publish("value", json{{"device", info->deviceIdx},
                                 {"gddId", info->valueId},
                                 {"module", info->mmIdx + 1},
                                 {"sequence", info->sequence},
                                 {"value", decodedValue(*info)}});
}

void eventChanged(void*, const ZvVEventInfo* info) {
    const auto event = g_catalogue->events.find(info->eventId);
    g_hub->publish("event",
                   json{{"eventId", info->eventId},
                        {"groupId", info->groupId},
                        {"device", info->deviceIdx},
                        {"state", info->eventState},
                        {"sequence", info->sequence},
                        {"label", event != g_catalogue->events.end() ? event->second.label : ""}});
}

// Counts are read from the queue by the draining thread; nothing to do as they arrive.
void pldCountArrived(void*, unsigned long) {}

// Drains the proxy's queues on a thread of its own: every PLD count, then one event and one
// value change a turn; it rests a little when nothing came.
class Drainer {
  public:
    explicit Drainer(ZvPldProxy& proxy) : m_proxy(proxy) {
        proxy.RegisterForPldCountChange(pldCountArrived, nullptr, 0);
        proxy.RegisterForEventChange(eventCounted, this, 0);
        proxy.RegisterForValueChange(valueCounted, this, 0);
        m_thread = std::thread([this] { run(); });
    }
    ~Drainer() {
        m_done.store(true);
        m_thread.join();
    }
    Drainer(const Drainer&) = delete;
    Drainer& operator=(const Drainer&) = delete;

  private:
    static std::atomic<unsigned long> s_drained;
    static void eventCounted(void* context, const ZvVEventInfo* info) {
        ++s_drained;
        eventChanged(context, info);
    }
    static void valueCounted(void* context, const ZvValChgInfo* info) {
        ++s_drained;
        valueChanged(context, info);
    }

    void run() {
        while (!m_done.load()) {
            const unsigned long before = s_drained.load();
            bool any = false;
            unsigned long count = 0;
            while (m_proxy.CheckPldCount(&count)) {
                any = true;
                g_hub->publish("count", json{{"count", count}});
            }
            m_proxy.CheckEvent();
            m_proxy.CheckValueChange();
            if (!any && s_drained.load() == before) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }
    }

    ZvPldProxy& m_proxy;
    std::atomic<bool> m_done{false};
    std::thread m_thread;
};
std::atomic<unsigned long> Drainer::s_drained{0};

// ---------------------------------------------------------------------------------------------
// Active events. The answer's callback gets only the list, so each request's list is looked up
// among those still waiting. A request whose answer did not come in time is abandoned: a late
// answer deletes its records, and whatever never came is deleted after the proxy stops. An
// abandoned list cannot be freed sooner: nothing tells that its answer will never come, and
// the proxy writes a late answer into the list before calling back. Each one is an empty list;
// they pile up only while the engine accepts requests and then drops their answers.

class ActiveEvents {
  public:
    // One at a time: the proxy keeps one request's callback and answer text at a time. Another
    // request is turned away at once rather than holding a server thread while it queues.
    json request(ZvPldProxy& proxy, std::chrono::milliseconds timeout, int& status) {
        std::unique_lock<std::mutex> one(m_requestMutex, std::try_to_lock);
        if (!one.owns_lock()) {
            status = 503;
            return json{{"error", "another active-events request is waiting for its answer"}};
        }
        Pending* pending = nullptr;
        {
            std::lock_guard<std::mutex> lock(s_mutex);
            s_pending.push_back(std::make_unique<Pending>());
            pending = s_pending.back().get();
        }
        CollectLog log;
        const int rc = proxy.GetActiveEvents(&pending->list, answered, 0);
        std::unique_lock<std::mutex> lock(s_mutex);
        if (rc != 0) {
            // Refused: no answer comes. Records already handed over are ours.
            remove(pending);
            status = 502;
            return json{{"error", "the active-events request failed: " + describe(rc)},
                        {"log", log.lines}};
        }
        if (!s_arrived.wait_for(lock, timeout, [pending] { return pending->done; })) {
            pending->abandoned = true;
            status = 504;
            return json{{"error", "no answer to the active-events request within " +
                                      std::to_string(timeout.count()) + " ms"}};
        }
        json events = json::array();
        for (ZvPldProxy::ActiveEvent* e : pending->list) {
            const auto event = g_catalogue->events.find(e->eventId);
            events.push_back(
                {{"groupId", e->groupId},
                 {"eventId", e->eventId},
                 {"state", e->eventState},
                 {"label", event != g_catalogue->events.end() ? event->second.label : ""}});
        }
        remove(pending);
        status = 200;
        return json{{"events", events}};
    }

    // After the proxy has stopped: no answer comes any more.
    static void clear() {
        std::lock_guard<std::mutex> lock(s_mutex);
        while (!s_pending.empty()) remove(s_pending.front().get());
    }

  private:
    struct Pending {
        std::list<ZvPldProxy::ActiveEvent*> list;
        bool done = false;
        bool abandoned = false;
    };

    // On the engine's thread or within GetActiveEvents: hands the list over and returns.
    static void answered(std::list<ZvPldProxy::ActiveEvent*>* events) {
        std::lock_guard<std::mutex> lock(s_mutex);
        for (const auto& p : s_pending) {
            if (&p->list != events) continue;
            p->done = true;
            if (p->abandoned) remove(p.get());
            s_arrived.notify_all();
            return;
        }
    }

    // Under s_mutex.
    static void remove(Pending* pending) {
        for (ZvPldProxy::ActiveEvent* e : pending->list) delete e;
        for (auto it = s_pending.begin(); it != s_pending.end(); ++it) {
            if (it->get() == pending) {
                s_pending.erase(it);
                return;
            }
        }
    }

    std::mutex m_requestMutex;
    static std::mutex s_mutex;
    static std::condition_variable s_arrived;
    static std::list<std::unique_ptr<Pending>> s_pending;
};
std::mutex ActiveEvents::s_mutex;
std::condition_variable ActiveEvents::s_arrived;
std::list<std::unique_ptr<ActiveEvents::Pending>> ActiveEvents::s_pending;

// ---------------------------------------------------------------------------------------------
// Devices and points

const zvsim::Device& deviceOf(unsigned short index) {
    const auto dev = g_catalogue->devices.find(index);
    if (dev == g_catalogue->devices.end()) {
        throw HttpError{404, "no such device: " + std::to_string(index)};
    }
    return dev->second;
}

const zvsim::Point& pointOf(const zvsim::Device& device, unsigned short gddId) {
    const auto pnt = device.points.find(gddId);
    if (pnt == device.points.end()) {
        throw HttpError{404, "no such point: device " + std::to_string(device.index) + ", GddId " +
                                 std::to_string(gddId)};
    }
    return pnt->second;
}

// A text read through the proxy: the text, or null and the result in words.
void putText(json& into, const char* name, int rc, const std::string& text) {
    into[name] = rc == 0 ? json(text) : json(nullptr);
    if (rc != 0) into[std::string(name) + "Error"] = describe(rc);
}

json pointJson(ZvPldProxy& proxy, unsigned short device, const zvsim::Point& point) {
    const auto gddId = static_cast<unsigned short>(point.gddId);
    json p{{"device", device}, {"gddId", gddId}};
    std::string text;
    putText(p, "label", proxy.GetLabelString(text, device, gddId, 1, 0, nullptr), text);
    putText(p, "description", proxy.GetFullDescriptionString(text, device, gddId, 1, 0), text);
    putText(p, "unit", proxy.GetUomLabelString(text, device, gddId, 1, 0, 0), text);

    struct Attribute {
        const char* name;
        int (ZvPldProxy::*get)(unsigned long*, unsigned short, unsigned short);
    };
    static const Attribute attributes[] = {
        {"accessRights", &ZvPldProxy::GetVelPointAccessRights},
        {"dataType", &ZvPldProxy::GetVelPointDataType},
        {"uomId", &ZvPldProxy::GetVelPointUoMID},
        {"normFactor", &ZvPldProxy::GetVelPointNormFactor},
        {"modules", &ZvPldProxy::GetMaxModuleCnt},
        {"arrayDim", &ZvPldProxy::GetMaxArrayDim},
    };
    json attrs = json::object();
    for (const Attribute& a : attributes) {
        unsigned long v = 0;
        const int rc = (proxy.*a.get)(&v, device, gddId);
        attrs[a.name] = rc == 0 ? json(v) : json(describe(rc));
    }
    p["attributes"] = attrs;

    // The engine's module count, or the catalogue's when the device does not answer.
    std::size_t modules = point.modules();
    if (attrs["modules"].is_number_unsigned()) modules = attrs["modules"].get<std::size_t>();
    json values = json::array();
    for (std::size_t m = 1; m <= modules && m <= 0xFFFF; ++m) {
        json v{{"module", m}};
        const int rc = proxy.GetValueString(text, device, gddId, static_cast<unsigned short>(m), 0,
                                            0, 0, nullptr);
        putText(v, "value", rc, text);
        values.push_back(v);
    }
    p["values"] = values;

    if (point.kind == zvsim::Kind::Enum) {
        std::list<int> stateValues;
        std::list<std::string> names;
        ZvEnumStateType type{};
        const int rc = proxy.GetVelEnumStateInfo(&stateValues, &names, &type, gddId, device);
        if (rc == 0) {
            json states = json::array();
            auto name = names.begin();
            for (int v : stateValues) {
                states.push_back({{"value", v}, {"name", name != names.end() ? *name++ : ""}});
            }
            p["states"] = states;
            p["stateType"] = type.type;
        } else {
            p["states"] = nullptr;
            p["statesError"] = describe(rc);
        }
    }
    return p;
}

json deviceJson(ZvPldProxy& proxy, const zvsim::Device& device) {
    json points = json::array();
    for (const auto& [gddId, point] : device.points) {
        if (gddId <= 0xFFFF) points.push_back(pointJson(proxy, device.index, point));
    }
    return json{{"index", device.index},
                {"name", device.name},
                {"offline", device.offline},
                {"points", points}};
}

json deviceInfoJson(ZvPldProxy& proxy, unsigned short index) {
    json d{{"index", index}};
    ZvProductIdentSeq* seq = nullptr;
    if (proxy.GetProdSeqId(&seq, index)) {
        std::vector<unsigned> ids(seq->ids, seq->ids + (seq->nmbrIds <= 8 ? seq->nmbrIds : 8));
        d["productIdentity"] = {{"ids", ids}, {"revision", seq->revision}};
        std::free(seq);  // the block is the caller's
    } else {
        d["productIdentity"] = nullptr;  // none, or one the proxy refused
    }
    d["fdmVersion"] = proxy.GetFdmVersion(index);
    return d;
}

json inventoryJson(ZvPldProxy& proxy, int& status) {
    ZvVelInventory inv{};
    if (!proxy.GetPldInventory(&inv)) {
        status = 502;
        return json{{"error", "the engine gave no inventory"}};
    }
    status = 200;
    const std::string name(inv.serverName, strnlen(inv.serverName, sizeof inv.serverName));
    return json{{"serverName", name},
                {"serverVersion", std::to_string(inv.serverVersion >> 16) + "." +
                                      std::to_string(inv.serverVersion & 0xFFFF)},
                {"devices", inv.nmbrDevices},
                {"maxDevices", inv.maxDevices},
                {"pldCount", inv.pldCount},
                {"upTimeSec", inv.upTimeSec}};
}

json hierarchyJson(ZvPldProxy& proxy, unsigned short device, unsigned short gddId,
                   unsigned short mmIdx, int& status) {
    CollectLog log;
    unsigned long report = 0;
    const int nrc = proxy.GetPointReportNum(&report, device, gddId);
    if (nrc != 0) {
        status = nrc == 2 || nrc == 0x1000 || nrc == 0x1001 ? 404 : httpStatusOf(nrc);
        return json{{"error", "no report holds this point: " + describe(nrc)}, {"log", log.lines}};
    }
    std::list<unsigned long> auxValues, gddIds;
    std::list<unsigned short> modules;
    const int rc = proxy.GetHierarchyLists(auxValues, gddIds, modules, device, gddId, mmIdx);
    if (rc != 0) {
        status = rc == 0x1002 ? 404 : httpStatusOf(rc);
        return json{{"error", rc == 0x1002 ? "report " + std::to_string(report) +
                                                 ": the engine keeps no ancestor record for it"
                                           : "no hierarchy: " + describe(rc)},
                    {"report", report},
                    {"log", log.lines}};
    }
    json levels = json::array();
    auto aux = auxValues.begin();
    auto module = modules.begin();
    for (const unsigned long id : gddIds) {
        json level{{"gddId", id}, {"module", *module}, {"auxValue", *aux}};
        std::string label;
        const int lrc = id <= 0xFFFF ? proxy.GetReportLabel(
                                           label, device, static_cast<unsigned short>(id), *module)
                                     : 2;
        putText(level, "label", lrc, label);
        levels.push_back(level);
        ++aux;
        ++module;
    }
    status = 200;
    return json{{"report", report}, {"levels", levels}};
}

// PUT body: {"value": "65.5", "module": 1, "uofm": 0}; module and uofm may be left out.
json writeValue(ZvPldProxy& proxy, unsigned short device, unsigned short gddId,
                const std::string& body, int& status) {
    const json in = json::parse(body, nullptr, false);
    if (in.is_discarded() || !in.is_object()) {
        throw HttpError{400, "the body must be a JSON object such as {\"value\": \"65.5\"}"};
    }
    if (!in.contains("value")) throw HttpError{400, "missing field: value"};
    if (!in["value"].is_string()) throw HttpError{400, "value must be a JSON string (text)"};
    auto number = [&in](const char* name, unsigned long fallback, unsigned long min,
                        unsigned long max) {
        if (!in.contains(name)) return fallback;
        const json& v = in[name];
        if (!v.is_number_unsigned() || v.get<unsigned long>() < min ||
            v.get<unsigned long>() > max) {
            throw HttpError{400, std::string(name) + " must be a whole number from " +
                                     std::to_string(min) + " to " + std::to_string(max)};
        }
        return v.get<unsigned long>();
    };
    const auto mmIdx = static_cast<unsigned short>(number("module", 1, 1, 0xFFFF));
    const unsigned long uofm = number("uofm", 0, 0, 0xFFFFFFFFul);
    const std::string value = in["value"].get<std::string>();
    if (value.find('\0') != std::string::npos) throw HttpError{400, "value holds a NUL"};

    CollectLog log;
    const int rc =
        proxy.SetValueString(value.c_str(), device, gddId, mmIdx, 0, uofm, 0, nullptr, 0);
    json out{{"rc", rc}, {"result", describe(rc)}};
    if (rc != 0) {
        status = httpStatusOf(rc);
        out["error"] = "the write was refused: " + describe(rc);
        out["log"] = log.lines;
        return out;
    }
    std::string text;
    putText(out, "value", proxy.GetValueString(text, device, gddId, mmIdx, 0, uofm, 0, nullptr),
            text);
    status = 200;
    return out;
}

// ---------------------------------------------------------------------------------------------

std::atomic<bool> g_interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler stores a lock-free flag");

extern "C" void onSignal(int) {
    g_interrupted.store(true);
}

zvsim::Catalogue loadCatalogue(const std::string& file, const std::string& engine) {
    if (!file.empty()) return zvsim::Catalogue::FromFile(file);
    if (engine.rfind("sim:", 0) == 0) return zvsim::Catalogue::FromFile(engine.substr(4));
    return zvsim::Catalogue::BuiltIn();
}

void routes(httplib::Server& server, ZvPldProxy& proxy, Hub& hub, ActiveEvents& activeEvents) {
    server.Get("/", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(kPldwebPage, "text/html; charset=utf-8");
    });
    server.Get("/api/stream",
               [&hub](const httplib::Request&, httplib::Response& res) { serveStream(hub, res); });
    server.Get("/api/engine", guarded([&proxy](const httplib::Request&, httplib::Response& res) {
                   int status = 0;
                   const json body = inventoryJson(proxy, status);
                   reply(res, status, body);
               }));
    server.Get("/api/devices", guarded([&proxy](const httplib::Request&, httplib::Response& res) {
                   json devices = json::array();
                   for (const auto& [index, device] : g_catalogue->devices) {
                       devices.push_back(deviceJson(proxy, device));
                   }
                   reply(res, 200, devices);
               }));
    server.Get(R"(/api/devices/(\d+))",
               guarded([&proxy](const httplib::Request& req, httplib::Response& res) {
                   const zvsim::Device& device = deviceOf(pathNumber(req, 1, "device"));
                   json d = deviceJson(proxy, device);
                   d.update(deviceInfoJson(proxy, device.index));
                   reply(res, 200, d);
               }));
    server.Get(R"(/api/devices/(\d+)/points/(\d+))",
               guarded([&proxy](const httplib::Request& req, httplib::Response& res) {
                   const zvsim::Device& device = deviceOf(pathNumber(req, 1, "device"));
                   const zvsim::Point& point = pointOf(device, pathNumber(req, 2, "point"));
                   reply(res, 200, pointJson(proxy, device.index, point));
               }));
    server.Put(R"(/api/devices/(\d+)/points/(\d+)/value)",
               guarded([&proxy](const httplib::Request& req, httplib::Response& res) {
                   // The engine is the judge of device and point: a write reaches it even for
                   // an address the catalogue did not list.
                   const unsigned short device = pathNumber(req, 1, "device");
                   const unsigned short gddId = pathNumber(req, 2, "point");
                   int status = 0;
                   const json body = writeValue(proxy, device, gddId, req.body, status);
                   reply(res, status, body);
               }));
    server.Get(R"(/api/devices/(\d+)/points/(\d+)/hierarchy)",
               guarded([&proxy](const httplib::Request& req, httplib::Response& res) {
                   const unsigned short device = pathNumber(req, 1, "device");
                   const unsigned short gddId = pathNumber(req, 2, "point");
                   const unsigned short mmIdx = queryNumber(req, "module", 1, 1);
                   int status = 0;
                   const json body = hierarchyJson(proxy, device, gddId, mmIdx, status);
                   reply(res, status, body);
               }));
    server.Get(
        "/api/events/active",
        guarded([&proxy, &activeEvents](const httplib::Request& req, httplib::Response& res) {
            const unsigned short ms = queryNumber(req, "timeout", 2000, 1, kMaxActiveEventsWaitMs);
            int status = 0;
            const json body = activeEvents.request(proxy, std::chrono::milliseconds(ms), status);
            reply(res, status, body);
        }));
    // The library reads a body whole before a route sees it, and by default without limit. The
    // limit holds for a body that states its length only (a longer one is read and discarded):
    // one sent in chunks, or read to the connection's end, is refused before it is read.
    server.set_payload_max_length(kMaxBody);
    server.set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
        const bool mayHaveBody = req.method == "PUT" || req.method == "POST" ||
                                 req.method == "PATCH" || req.method == "DELETE";
        if (!req.has_header("Transfer-Encoding") &&
            (!mayHaveBody || req.has_header("Content-Length"))) {
            return httplib::Server::HandlerResponse::Unhandled;
        }
        res.set_header("Connection", "close");
        fail(res, 411,
             "a request body must come with its Content-Length: " + req.method + " " + req.path);
        return httplib::Server::HandlerResponse::Handled;
    });
    // Whatever no route answered, and methods a route does not take, as JSON too.
    server.set_error_handler(httplib::Server::HandlerWithResponse(
        [](const httplib::Request& req, httplib::Response& res) {
            if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
            const std::string what = req.method + " " + req.path;
            fail(res, res.status,
                 res.status == 404 ? "no such resource: " + what
                 : res.status == 413
                     ? "the request body is over " + std::to_string(kMaxBody) + " bytes: " + what
                     : "the request was not understood: " + what);
            return httplib::Server::HandlerResponse::Handled;
        }));
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"pldweb: a web console on libZvPldProxy"};
    std::string engine = "sim";
    std::string listen = "127.0.0.1";
    int port = 8080;
    std::string catalogueFile;
    app.add_option("--engine", engine,
                   "message client's first text: sim, sim:FILE or unix:PATH (the engine daemon)")
        ->capture_default_str();
    app.add_option("--listen", listen, "address to listen on")->capture_default_str();
    app.add_option("--port", port, "port to listen on; 0: any free port")
        ->check(CLI::Range(0, 65535))
        ->capture_default_str();
    app.add_option("--catalogue", catalogueFile,
                   "catalogue that names the devices, points and events (default: the engine's "
                   "sim:FILE, else the built-in one)");
    CLI11_PARSE(app, argc, argv);

    zvsim::Catalogue catalogue;
    try {
        catalogue = loadCatalogue(catalogueFile, engine);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pldweb: %s\n", e.what());
        return 2;
    }
    g_catalogue = &catalogue;

    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE,
           SIG_IGN);  // a page or an engine connection that went away is an error, not a stop

    dlog_set_sink(logLine, nullptr);
    int rc = 0;
    try {
        ZvPldProxy proxy(engine.c_str(), "pldweb");
        Hub hub;
        g_hub = &hub;
        ActiveEvents activeEvents;
        httplib::Server server;
        // Each open page holds a worker for its stream.
        server.new_task_queue = [] {
            return new httplib::ThreadPool(Hub::kMaxClients + 8);
        };
        routes(server, proxy, hub, activeEvents);
        const int bound = port == 0 ? server.bind_to_any_port(listen)
                                    : (server.bind_to_port(listen, port) ? port : -1);
        if (bound < 0) {
            std::fprintf(stderr, "pldweb: cannot listen on %s:%d\n", listen.c_str(), port);
            rc = 1;
        } else {
            std::atomic<bool> listenReturned{false};
            std::thread listener([&server, &listenReturned] {
                server.listen_after_bind();
                listenReturned.store(true);
            });
            {
                Drainer drainer(proxy);
                std::printf("pldweb: listening on http://%s:%d/ (engine %s)\n", listen.c_str(),
                            bound, engine.c_str());
                std::fflush(stdout);
                while (!g_interrupted.load()) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
                }
                hub.stop();
                // A stop before the server runs would be lost, and the listener never return.
                while (!server.is_running() && !listenReturned.load()) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
                server.stop();
                listener.join();
            }
            std::printf("pldweb: stopped\n");
        }
        proxy.stop_y4IpcToClientProc();
        ActiveEvents::clear();
        g_hub = nullptr;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pldweb: %s\n", e.what());
        rc = 2;
    }
    dlog_set_sink(nullptr, nullptr);
    g_catalogue = nullptr;
    return rc;
}
