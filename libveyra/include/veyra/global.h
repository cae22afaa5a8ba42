#pragma once

#include <QtGlobal>

#if defined(LIBVEYRA_BUILDING)
#define LIBVEYRA_EXPORT Q_DECL_EXPORT
#else
#define LIBVEYRA_EXPORT Q_DECL_IMPORT
#endif

// Interface identifier that every integration plugin declares in its metadata.
#define VEYRA_INTEGRATION_PLUGIN_IID "io.veyra.IntegrationPlugin"
