// The registry under libFuzzer. Each input is cut into lines and parsed with
// split_hub_networks_file, then written as networks.data and read back with
// read_hub_networks: every record must be made of the bytes before its
// line's first two bars, and the reader must agree with the parser line for
// line, echo every line and report every line it skips.
#include "hub_utilities.h"
#include "network.h"

#include <algorithm>
#include <cstdint>
#include <fcntl.h>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Record = std::unique_ptr<Network>;

std::string workdir;
std::ostringstream traced_out;
std::ostringstream traced_err;
std::streambuf* saved_out = nullptr;
std::streambuf* saved_err = nullptr;

void require(bool ok, const char* what)
{
    if (ok)
        return;
    std::fprintf(stderr, "fuzz_registry: %s\n", what);
    std::abort();
}

void leave_workdir()
{
    std::cout.rdbuf(saved_out);
    std::cerr.rdbuf(saved_err);
    ::unlink((workdir + "/" + registry_file_name).c_str());
    ::rmdir(workdir.c_str());
}

// Runs the reader in the private working directory and comes back.
std::vector<Network*> read_in_workdir(const std::string& text)
{
    const int previous = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    require(previous >= 0 && ::chdir(workdir.c_str()) == 0, "cannot enter the working directory");
    {
        std::ofstream file(registry_file_name, std::ios::binary | std::ios::trunc);
        file.write(text.data(), static_cast<std::streamsize>(text.size()));
        require(static_cast<bool>(file.flush()), "cannot write networks.data");
    }
    std::vector<Network*> networks;
    read_hub_networks(&networks);
    require(::fchdir(previous) == 0, "cannot leave the working directory");
    ::close(previous);
    return networks;
}

// The lines as a reader by line feeds sees them: a last line without a line
// feed still counts, an input that ends with one has no empty line after it.
std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::string::size_type start = 0;
    while (start < text.size()) {
        std::string::size_type end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

void check_record(const std::string& line, const Network* network)
{
    const std::string::size_type first = line.find('|');
    const std::string::size_type second =
        first == std::string::npos ? std::string::npos : line.find('|', first + 1);
    if (second == std::string::npos) {
        require(!network, "a record from a line without two terminated fields");
        return;
    }
    require(network != nullptr, "no record from a line with two terminated fields");
    require(network->name == line.substr(0, first), "name is not the first field");
    require(network->path == line.substr(first + 1, second - first - 1),
            "path is not the second field");
    require(network->address.empty(), "a registry record with an address");
    require(network->port == 8000, "a record whose port is not 8000");
}

bool same_record(const Network& a, const Network& b)
{
    return a.name == b.name && a.path == b.path && a.address == b.address && a.port == b.port;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // The reader opens networks.data in the working directory: it gets a
    // private one, entered only around each reading so that the fuzzer's own
    // relative paths (corpus, artifacts) keep their meaning.
    const char* tmp = std::getenv("TMPDIR");
    std::string name = std::string(tmp && *tmp ? tmp : "/tmp") + "/kestrova-fuzz-XXXXXX";
    if (!::mkdtemp(name.data())) {
        std::perror("fuzz_registry: working directory");
        std::abort();
    }
    workdir = name;
    // The echo and the messages are checked, and would flood the fuzzer's output.
    saved_out = std::cout.rdbuf(traced_out.rdbuf());
    saved_err = std::cerr.rdbuf(traced_err.rdbuf());
    std::atexit(leave_workdir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string> lines = lines_of(text);

    std::vector<Record> parsed;
    std::string echo;
    std::size_t skipped = 0;
    for (const std::string& line : lines) {
        Record network(split_hub_networks_file(line));
        check_record(line, network.get());
        echo += line + '\n';
        if (network)
            parsed.push_back(std::move(network));
        else
            ++skipped;
    }

    traced_out.str(std::string());
    traced_err.str(std::string());
    const std::vector<Network*> networks = read_in_workdir(text);
    const std::vector<Record> records(networks.begin(), networks.end());

    require(records.size() == parsed.size(), "the reader and the parser disagree on the records");
    for (std::size_t i = 0; i < records.size(); ++i)
        require(same_record(*records[i], *parsed[i]), "the reader made another record than the parser");
    require(traced_out.str() == echo, "the echo is not every line in file order");
    const std::string err = traced_err.str();
    require(static_cast<std::size_t>(std::count(err.begin(), err.end(), '\n')) == skipped,
            "not one message per skipped line");
    return 0;
}
