// In the programs that link the module's code (the tool's tests, the Python
// module), the operations are called directly.
#include "extensions.h"

namespace tolvane {

const Extensions& extensions()
{
    return extensionTable();
}

}  // namespace tolvane
