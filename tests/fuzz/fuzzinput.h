// Shared by the fuzz targets: how an input turns into a serial port name and a reply body, and
// the check that turns a broken property into a crash the fuzzer keeps.
#pragma once

#include <QByteArray>
#include <QChar>
#include <QCoreApplication>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QSet>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <vector>

namespace fuzzinput {

// Last characters that are not ASCII digits but sit next to them or look like them: a port
// ending in one of these must select no element.
constexpr char16_t kNonDigits[] = {
    u'A',
    u'z',
    u'/',
    u':',
    u'\u00C4',
    u'\u00B3' /* superscript three */,
    u'\u0663' /* Arabic-Indic three */,
    u'\uFF13' /* fullwidth three */,
};
constexpr int kNonDigitCount = int(sizeof(kNonDigits) / sizeof(kNonDigits[0]));

struct Input {
    QString port;
    int digit = -1; // the ASCII digit the port ends in, -1 for none
    QByteArray body;
};

// The first byte picks the port name: byte % 3 chooses one ending in an ASCII digit, one ending
// in another character, or an empty one; byte / 3 chooses the digit or character. The rest is the
// body. Seeds for a port ending in digit d start with the byte 3 * d.
inline Input split(const std::uint8_t *data, std::size_t size)
{
    Input input;
    if (size == 0)
        return input;
    const int selector = data[0];
    const QString stem = QStringLiteral("/dev/ttymxc");
    switch (selector % 3) {
    case 0:
        input.digit = (selector / 3) % 10;
        input.port = stem + QChar(char16_t(u'0' + input.digit));
        break;
    case 1: input.port = stem + QChar(kNonDigits[(selector / 3) % kNonDigitCount]); break;
    default: break;
    }
    input.body = QByteArray(reinterpret_cast<const char *>(data) + 1, int(size - 1));
    return input;
}

inline QByteArray body(const std::uint8_t *data, std::size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), int(size));
}

// Inputs whose parse was checked against the oracle below; a replay in which none was would
// check nothing but crashes.
inline int oracleChecks = 0;

// The oracle: Qt's parser on the body as it stands, for a body that it can be given without
// harm, one in which no object repeats a key (Qt leaks on some repeats). Without a backslash or
// a raw NUL that is simple to be sure of: no string can hide a quote, no escaped key can read like
// another (valid UTF-8 decodes one way only), and no NUL can make two keys one to Qt. Nothing for
// a body that may repeat a key.
inline std::optional<QJsonDocument> oracle(const QByteArray &body)
{
    if (body.contains('\\') || body.contains('\0'))
        return std::nullopt;
    std::vector<std::optional<QSet<QByteArray>>> levels; // the keys of each open object
    for (int i = 0; i < body.size(); ++i) {
        const char c = body.at(i);
        if (c == '{' || c == '[') {
            levels.push_back(c == '{' ? std::optional<QSet<QByteArray>>(QSet<QByteArray>()) : std::nullopt);
        } else if ((c == '}' || c == ']') && !levels.empty()) {
            levels.pop_back();
        } else if (c == '"') {
            const int end = body.indexOf('"', i + 1);
            if (end < 0)
                break;
            int next = end + 1;
            while (next < body.size() && QByteArrayLiteral(" \t\r\n").contains(body.at(next)))
                ++next;
            if (next < body.size() && body.at(next) == ':' && !levels.empty() && levels.back()) {
                const QByteArray key = body.mid(i, end - i + 1);
                if (levels.back()->contains(key))
                    return std::nullopt;
                levels.back()->insert(key);
            }
            i = end;
        }
    }
    ++oracleChecks;
    return QJsonDocument::fromJson(body);
}

} // namespace fuzzinput

#define FUZZ_CHECK(condition)                                                                                          \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, #condition);                      \
            std::abort();                                                                                              \
        }                                                                                                              \
    } while (false)

// Every target's initializer: an application object for the Qt classes that want one (no event
// loop ever runs), and the category's debug lines off: printing them would cost more than the
// parse under test.
#define FUZZ_INITIALIZER()                                                                                             \
    extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)                                                       \
    {                                                                                                                  \
        static QCoreApplication *app = new QCoreApplication(*argc, *argv);                                             \
        Q_UNUSED(app)                                                                                                  \
        QLoggingCategory::setFilterRules(QStringLiteral("QelLmn.debug=false"));                                        \
        return 0;                                                                                                      \
    }
