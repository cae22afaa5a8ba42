// What the simulated bridge answers with: its JSON bodies, and the readings its meters give.
#pragma once

#include "bridgesimulator.h"

namespace lmnsim {

// Value calls the bridge knows, in its own spelling.
enum class Call { PlusTotal, MinusTotal, ActivePower, Unknown };
Call callNamed(const std::string &name);

// One meter's readings. The totals grow with every reading served and carry the meter's address
// in their millions; the power carries it in its hundreds.
class Readings
{
public:
    explicit Readings(int address);
    double current(Call call) const; // what was served last (the start before any); NaN for Unknown
    double next(Call call);          // serves a new reading of a known call
    void restart(Call call);         // a total starts again from kRestartWh (above its address)
    // The totals go on from what an earlier run served (in Wh, address included), never back.
    void continueFrom(double plusWh, double minusWh);

private:
    int m_address;
    double m_plus = 200000.0;
    double m_minus = 50000.0;
    double m_power;
    std::uint64_t m_plusServed = 0;
    std::uint64_t m_minusServed = 0;
    std::uint64_t m_powerServed = 0;
};

constexpr double kAddressScale = 1e6;

// The element of the connection details that belongs to a serial port: the value of the
// name's last character, a digit; -1 when it ends otherwise or is empty.
int portIndex(const std::string &serialPort);

std::string valueBody(Call call, double value, Fault::Kind variant);
std::string connectionDetailsBody(const Options &options, bool initialized, const std::vector<Meter> &meters,
                                  Fault::Kind variant);

// An answer that breaks HTTP's framing (Fault::Kind::UnendingStatusLine to EndlessContinue): its
// start, then what repeats without end. Empty for other kinds.
struct BrokenFraming {
    std::string head;
    std::string filler;
};
BrokenFraming brokenFraming(Fault::Kind kind);

// `data` as a gzip member of stored (uncompressed) blocks: valid gzip without a compressor.
std::string gzipStored(const std::string &data);

} // namespace lmnsim
