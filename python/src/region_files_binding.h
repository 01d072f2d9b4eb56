// read_regions() and write_regions(): region and frame files of every format
// through the tool's own readers and writers.
#ifndef TOLVANE_PYTHON_REGION_FILES_BINDING_H
#define TOLVANE_PYTHON_REGION_FILES_BINDING_H

#include <pybind11/pybind11.h>

namespace tolvane::python {

// Adds read_regions and write_regions to the module.
void registerRegionFiles(pybind11::module_& module);

}  // namespace tolvane::python

#endif
