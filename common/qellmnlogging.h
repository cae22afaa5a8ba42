// The plugin's one logging category, shared by the plugin object and the bridge client.
#pragma once

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(dcQelLmn)
