// pldctl's control of a simulated engine: `sim` sends one control command, `scenario` reads and
// plays scenario files. Neither makes a proxy: they talk to the engine's control interface.
#ifndef PLDCTL_CONTROL_H
#define PLDCTL_CONTROL_H

#include <functional>
#include <list>
#include <memory>
#include <string>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

namespace zvsim {
class Controller;
struct Scenario;
}  // namespace zvsim

namespace pldctl {

// A command in one line: its verb, then its fields as name=value.
std::string CommandLine(const nlohmann::json& command);

class SimCommands {
  public:
    explicit SimCommands(CLI::App& app);
    bool parsed() const { return m_sim->parsed(); }
    CLI::App* app() const { return m_sim; }
    // Sends the parsed command and prints what changed; the exit status.
    int run(const std::string& engine) const;

  private:
    struct Verb {
        CLI::App* app;
        nlohmann::json command;
        std::function<void(nlohmann::json&)> finish;  // fields that depend on several options
    };
    Verb& verb(const char* name, const char* doVerb, const char* help);

    CLI::App* m_sim;
    std::list<Verb> m_verbs;  // stable: the options write into their command
    std::shared_ptr<bool> m_json = std::make_shared<bool>(false);
};

class ScenarioCommands {
  public:
    explicit ScenarioCommands(CLI::App& app);
    bool parsed() const { return m_scenario->parsed(); }
    int run(const std::string& engine) const;

  private:
    int checkSteps(const zvsim::Scenario& scenario) const;
    int play(const zvsim::Scenario& scenario, const std::string& engine) const;

    CLI::App* m_scenario;
    CLI::App* m_run;
    std::string m_file;
    std::string m_catalogue;  // check: the catalogue its steps are checked against, if any
    bool m_loop = false;
    bool m_json = false;
    double m_speed = 0;  // run: the engine clock's speed for the run; 0: as it is
};

// --json: the flag that makes a subcommand answer in JSON objects, one a line, on stdout.
CLI::Option* AddJsonFlag(CLI::App* app, bool& json);
// One JSON object on a line of stdout, flushed: a program reads each answer as it comes.
void PrintJson(const nlohmann::json& object);
// The call journal's answer, one line per call, then the count and the times' percentiles.
void PrintJournal(const nlohmann::json& answer);
// The engine text for a wait command: over the daemon, a deadline past the wait's timeout.
std::string WaitDeadline(const std::string& engine, const nlohmann::json& command);

// Whether an engine's refusal says that it could not be reached (Output.h's kUnreachable).
bool Unreachable(const std::string& error);

using Send = std::function<std::string(const std::string& command)>;

// Calls `use` with a connection to the engine's control: the daemon's for unix:PATH, else a
// simulated engine made in this process for the time of the call. Its exit status, or 1 (with
// the reason on stderr) when the engine text cannot be read, 2 when the engine cannot be made.
int WithController(const std::string& engine, const std::function<int(const Send&)>& use);
// The same with the controller itself, which the engine's event feed calls "pldctl".
int WithEngineController(const std::string& engine,
                         const std::function<int(zvsim::Controller&)>& use);

// `pldctl sim events`: the daemon's event feed, each event printed as it comes.
class SimEvents {
  public:
    explicit SimEvents(const SimCommands& sim);
    bool parsed() const { return m_events->parsed(); }
    int run(const std::string& engine) const;

  private:
    CLI::App* m_events;
    unsigned long m_count = 0;  // stop after this many; 0: until stopped
    bool m_json = false;
};

}  // namespace pldctl

#endif
