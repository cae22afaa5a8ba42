// Writes seed corpora for the fuzz targets: real reply bodies, fetched over HTTP from the bridge
// simulator in its normal states and with each of its malformed-body faults.
//   fuzz-seeds <folder>   creates <folder>/{connection_details,initialized,value_reply}/
#include "bridgesimulator.h"

#include <httplib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using lmnsim::BridgeSimulator;
using lmnsim::Endpoint;
using lmnsim::Fault;

namespace {

struct Body {
    std::string name;
    std::string text;
};

std::string fetch(const BridgeSimulator &sim, const std::string &target)
{
    httplib::Client client("127.0.0.1", sim.port());
    client.set_url_encode(false); // the target is already encoded the way the bridge expects
    const httplib::Result result = client.Get(target.c_str());
    if (!result) {
        std::cerr << "fuzz-seeds: no answer to " << target << '\n';
        std::exit(1);
    }
    return result->body;
}

const std::vector<std::pair<Fault::Kind, const char *>> kBodyFaults = {
    {Fault::Kind::NotJson, "not-json"},       {Fault::Kind::NotArray, "not-array"},
    {Fault::Kind::EmptyBody, "empty-body"},   {Fault::Kind::WrongTypes, "wrong-types"},
    {Fault::Kind::EmptyArray, "empty-array"},
};

// Connection-details bodies, each with the digit its serial port ends in.
std::vector<std::pair<int, Body>> connectionDetails()
{
    struct Setup {
        const char *name;
        int digit;
        int meters;
        int portCount;
        bool initialized;
    };
    const std::vector<Setup> setups = {
        {"4-meters", 3, 4, 4, false},  {"4-meters-initialized", 3, 4, 4, true}, {"no-meters", 3, 0, 4, true},
        {"32-meters", 3, 32, 4, true}, {"33-meters", 3, 33, 4, true},           {"port-0-alone", 0, 1, 1, true},
        {"port-9", 9, 2, 4, true},
    };
    std::vector<std::pair<int, Body>> out;
    for (const Setup &setup : setups) {
        lmnsim::Options options;
        options.serialPort = "/dev/ttymxc" + std::to_string(setup.digit);
        options.meters = setup.meters;
        options.portCount = setup.portCount;
        options.initialized = setup.initialized;
        BridgeSimulator sim(options);
        if (!sim.start())
            std::exit(1);
        out.push_back({setup.digit, {setup.name, fetch(sim, "/GetCurrentConnectionDetails")}});
        if (setup.meters != 4 || !setup.initialized)
            continue;
        for (const auto &[kind, name] : kBodyFaults) {
            sim.setFault(Endpoint::ConnectionDetails, Fault{kind, 500, {}, -1});
            out.push_back({setup.digit, {name, fetch(sim, "/GetCurrentConnectionDetails")}});
        }
    }
    return out;
}

std::vector<Body> valueReplies()
{
    BridgeSimulator sim;
    if (!sim.start())
        std::exit(1);
    const std::string prefix = '/' + BridgeSimulator::portSegment("/dev/ttymxc3") + '/';
    std::vector<Body> out;
    for (const char *call : {"GeActiceEnergyPlusTotal", "GeActiceEnergyMinusTotal", "GetCurrentActivePower"})
        out.push_back({call, fetch(sim, prefix + "2/" + call)});
    out.push_back({"unknown-meter", fetch(sim, prefix + "99/GeActiceEnergyPlusTotal")});
    for (const auto &[kind, name] : kBodyFaults) {
        sim.setMeterFault(1, Fault{kind, 500, {}, -1});
        out.push_back({name, fetch(sim, prefix + "1/GeActiceEnergyPlusTotal")});
    }
    return out;
}

void write(const fs::path &folder, const std::string &name, const std::string &content)
{
    fs::create_directories(folder);
    std::ofstream file(folder / name, std::ios::binary | std::ios::trunc);
    file << content;
    if (!file) {
        std::cerr << "fuzz-seeds: cannot write " << (folder / name) << '\n';
        std::exit(1);
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::cerr << "usage: fuzz-seeds <folder>\n";
        return 2;
    }
    const fs::path root = argv[1];
    for (const auto &[digit, body] : connectionDetails()) {
        // The targets take the first byte as the port selector: 3 * d ends the name in digit d.
        const std::string selected = std::string(1, char(3 * digit)) + body.text;
        const std::string name = body.name + "-port-" + std::to_string(digit);
        write(root / "connection_details", name, selected);
        write(root / "initialized", name, selected);
        if (body.name == "4-meters-initialized") {
            // The same body for a port ending in a letter and for an empty port name.
            write(root / "connection_details", "port-letter", char(1) + body.text);
            write(root / "connection_details", "port-empty", char(2) + body.text);
            write(root / "initialized", "port-letter", char(1) + body.text);
        }
    }
    for (const Body &body : valueReplies())
        write(root / "value_reply", body.name, body.text);
    return 0;
}
