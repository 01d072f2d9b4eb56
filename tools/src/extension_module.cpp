// The module the tool opens for its operations that need OpenCV or SQLite.
#include "extensions.h"

extern "C" __attribute__((visibility("default"))) const tolvane::Extensions* TOLVANE_EXTENSIONS_ENTRY()
{
    return &tolvane::extensionTable();
}
