#include "simreplies.h"

#include <algorithm>
#include <cstdio>
#include <limits>

namespace lmnsim {

namespace {

constexpr double kGrowthCap = 999999.0;

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

std::string jsonString(const std::string &text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char esc[8];
                std::snprintf(esc, sizeof(esc), "\\u%04x", c);
                out += esc;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    out += '"';
    return out;
}

std::string portObject(const std::string &name, const char *initialized, const std::string &members)
{
    return "{\"port\":" + jsonString(name) + ",\"isInitialized\":" + initialized + ",\"abailableLMNMembers\":["
           + members + "]}";
}

} // namespace

Call callNamed(const std::string &name)
{
    if (name == "GeActiceEnergyPlusTotal")
        return Call::PlusTotal;
    if (name == "GeActiceEnergyMinusTotal")
        return Call::MinusTotal;
    return name == "GetCurrentActivePower" ? Call::ActivePower : Call::Unknown;
}

Readings::Readings(int address) : m_address(address), m_power(address * 100.0) {}

double Readings::current(Call call) const
{
    switch (call) {
    case Call::PlusTotal: return m_address * kAddressScale + m_plus;
    case Call::MinusTotal: return m_address * kAddressScale + m_minus;
    case Call::ActivePower: return m_power;
    case Call::Unknown: break;
    }
    return std::numeric_limits<double>::quiet_NaN();
}

double Readings::next(Call call)
{
    if (call == Call::ActivePower) {
        m_power = m_address * 100.0 + static_cast<double>(m_powerServed++ % 50);
    } else if (call == Call::MinusTotal) {
        const std::uint64_t step = 1 + (m_minusServed++ % 10) / 2; // 1 to 5 Wh
        m_minus = std::min(m_minus + static_cast<double>(step), kGrowthCap);
    } else {
        m_plus = std::min(m_plus + static_cast<double>(1 + m_plusServed++ % 10), kGrowthCap);
    }
    return current(call);
}

void Readings::restart(Call call)
{
    if (call == Call::PlusTotal)
        m_plus = kRestartWh;
    else if (call == Call::MinusTotal)
        m_minus = kRestartWh;
}

void Readings::continueFrom(double plusWh, double minusWh)
{
    const double base = m_address * kAddressScale;
    m_plus = std::clamp(plusWh - base, m_plus, kGrowthCap);
    m_minus = std::clamp(minusWh - base, m_minus, kGrowthCap);
}

int portIndex(const std::string &serialPort)
{
    return !serialPort.empty() && isDigit(serialPort.back()) ? serialPort.back() - '0' : -1;
}

std::string valueBody(Call call, double value, Fault::Kind variant)
{
    const std::string unit = call == Call::ActivePower ? "\"W\"" : "\"Wh\"";
    if (variant == Fault::Kind::WrongTypes)
        return "[{\"value\":\"12\",\"unit\":" + unit + "}]";
    char number[64];
    std::snprintf(number, sizeof(number), "%.1f", value);
    const std::string object = "{\"value\":" + std::string(number) + ",\"unit\":" + unit + "}";
    return variant == Fault::Kind::NotArray ? object : "[" + object + "]";
}

std::string connectionDetailsBody(const Options &options, bool initialized, const std::vector<Meter> &meters,
                                  Fault::Kind variant)
{
    // Wrongly typed: the flags as words, the addresses as strings.
    const bool wrongTypes = variant == Fault::Kind::WrongTypes;
    auto flag = [wrongTypes](bool on) { return wrongTypes ? (on ? "\"yes\"" : "\"no\"") : (on ? "true" : "false"); };
    std::string members;
    for (const Meter &meter : meters) {
        const std::string address = std::to_string(meter.lmnAddress);
        if (!members.empty())
            members += ',';
        members += "{\"serverID\":" + jsonString(meter.serverId)
                   + ",\"lmnAdress\":" + (wrongTypes ? jsonString(address) : address) + "}";
    }
    std::string own = portObject(options.serialPort, flag(initialized), members);
    if (variant == Fault::Kind::NotArray)
        return own;

    // A name without a final digit has no element of its own: every element is another port.
    const int index = portIndex(options.serialPort);
    std::string prefix = options.serialPort;
    while (!prefix.empty() && isDigit(prefix.back()))
        prefix.pop_back();
    if (index < 0)
        prefix = "/dev/ttymxc";
    std::string out = "[";
    for (int i = 0; i < std::max(options.portCount, index + 1); ++i) {
        std::string name = prefix + std::to_string(i);
        if (name == options.serialPort)
            name += "-other";
        out += (i ? "," : "") + (i == index ? own : portObject(name, flag(false), ""));
    }
    return out + "]";
}

std::string gzipStored(const std::string &data)
{
    std::uint32_t crc = 0xffffffffU;
    for (const char c : data) {
        crc ^= static_cast<unsigned char>(c);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xedb88320U & (0U - (crc & 1U)));
    }
    crc = ~crc;
    auto le32 = [](std::string &out, std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            out += static_cast<char>((v >> (8 * i)) & 0xffU);
    };
    std::string out("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff", 10);
    std::size_t at = 0;
    do {
        const std::size_t n = std::min<std::size_t>(data.size() - at, 65535);
        const bool last = at + n == data.size();
        out += static_cast<char>(last ? 1 : 0);
        out += static_cast<char>(n & 0xffU);
        out += static_cast<char>(n >> 8);
        out += static_cast<char>(~n & 0xffU);
        out += static_cast<char>((~n >> 8) & 0xffU);
        out.append(data, at, n);
        at += n;
    } while (at < data.size());
    le32(out, crc);
    le32(out, static_cast<std::uint32_t>(data.size()));
    return out;
}

BrokenFraming brokenFraming(Fault::Kind kind)
{
    const std::string blanks(std::size_t(16) * 1024, 'x');
    std::string fields;
    for (int i = 0; i < 512; ++i)
        fields += "X-Field-" + std::to_string(i) + ": " + std::string(20, 'f') + "\r\n";
    std::string interim;
    for (int i = 0; i < 512; ++i)
        interim += "HTTP/1.1 100 Continue\r\n\r\n";
    const std::string ok = "HTTP/1.1 200 OK\r\n";
    switch (kind) {
    case Fault::Kind::UnendingStatusLine: return {"HTTP/1.1 200 OK", blanks};
    case Fault::Kind::UnendingHeaderLine: return {ok + "X-Endless: ", blanks};
    case Fault::Kind::EndlessHeaders: return {ok, fields};
    case Fault::Kind::UnendingChunkLine:
        return {ok + "Content-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n1;ext=", blanks};
    case Fault::Kind::EndlessContinue: return {std::string(), interim};
    case Fault::Kind::GzipTransfer: return {ok + "Transfer-Encoding: gzip, chunked\r\n\r\n", blanks};
    default: return {};
    }
}

} // namespace lmnsim
