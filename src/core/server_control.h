#pragma once

#include <string>

class Network;
class ServerOutput;

// Who answers on port 8000 and whether a server of ours runs there: the
// launch sequence of the administrator window asks this, the build decides.

// What a server said to GET "/_infos/kl/".
struct HubAnswer
{
    bool http = false; // an HTTP status line came back
    int status = 0;
    std::string body;  // at most what the bounded read took in
};

// Reads a raw HTTP answer (status line, headers, body).
HubAnswer parse_hub_answer(const std::string& raw);
// The name a hub gives in its answer, folded as discovery folds names; ""
// when the answer is no hub's name (not HTTP, not 200, an empty body, a page,
// more than a short line, or control characters).
std::string hub_name_of(const HubAnswer& answer);
// True when `name` is the project package of the network's folder: the
// folder `path`/`name` holds the project's settings.py.
bool is_package_of(const Network& network, const std::string& name);
// True when a hub's name says it is this network: its registry name, or the
// package name that older hubs answer.
bool is_name_of(const Network& network, const std::string& name);

// How a launch ended.
enum class LaunchOutcome {
    started,         // the server started here answers
    already_running, // this network's own server was already there: none started
    port_taken,      // another program holds port 8000: none started
    failed,          // the server started here never answered, or another hub did
};

class ServerControl
{
public:
    // Windows build: also stops that server when the session ends.
    ServerControl();
    ServerControl(const ServerControl&) = delete;
    ServerControl& operator=(const ServerControl&) = delete;
    // Windows build: stops the server that this object started, if any.
    ~ServerControl();

    // Looks at port 8000, starts the network's server if the port is free,
    // checks that it answers and who it is. Failures are told on the error
    // stream and kept for the window (told()).
    LaunchOutcome launch(Network& network);
    // The address the browser opens once the network's server answers.
    std::string browser_address() const;
    // The fixed wait between a successful check and the browser.
    void wait_before_browser() const;

    // Stops the network's server of the last launch, then checks that the
    // port goes free; false, told as a launch's failures are, when it stays
    // held. Windows build: stop_server. Linux build: the processes proven by
    // their folder to be that server, as Ctrl-C in its terminal would.
    bool stop();
    // A server that this object started was seen to answer and has not been
    // stopped since.
    bool owns_running_server() const { return ours; }
    // What the last launch or stop told on the error stream; "" after success.
    const std::string& told() const { return message; }
    // The last lines of the server's output after a start that failed, as
    // told on the error stream below told(); "" otherwise.
    const std::string& server_lines() const { return lines; }

private:
    void tell(const std::string& text);

    bool ours = false;
    // The network of the last launch that reached its server.
    std::string served_name;
    std::string served_folder;
    std::string message;
    std::string lines;
};

// What each build provides beside its probes (server_control_posix.cpp,
// server_control_win.cpp).

// True when something accepts a connection on port 8000 where this build's
// server listens, looked at once and briefly.
bool server_port_accepts();
// The address this build's server listens on.
std::string server_host();
// GET "/_infos/kl/" from whatever listens there, within about 2 s, reading at
// most a few KiB; an answer with http false when nothing usable came back.
HubAnswer ask_hub_name();
// The checks of the launch sequence after the start: true once one answers;
// false at once where the server's output shows that it has ended.
bool server_answers_after_start(Network& network, const ServerOutput& output);
// True when a process that this program started, and holds by the system's
// own means, runs in `folder`: where the system names no owner of the port,
// the one server that can still be known.
bool started_server_runs_in(const std::string& folder);

// Shared by both builds' asks.

// The request for "/_infos/kl/" of the server at host_and_port.
std::string hub_name_request(const std::string& host_and_port);
// True once `raw` holds the headers and as much body as they announce.
bool is_whole_answer(const std::string& raw);
