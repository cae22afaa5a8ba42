// The plugin's one logging category, shared by the plugin object and the bridge client.
#pragma once

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(dcQelLmn)

// A warning, or only a debug line when `repeated`: a fault that goes on is said once in full,
// and its repetitions only to whoever debugs, as a gateway's log goes to flash.
QDebug warningUnlessRepeated(bool repeated);
