// The images of a batch and the output file of each: image files as given,
// folders expanded into the images they hold.
#ifndef TOLVANE_BATCH_INPUTS_H
#define TOLVANE_BATCH_INPUTS_H

#include <string>
#include <vector>

namespace tolvane {

struct BatchItem {
    std::string image;
    std::string output;
};

// An image file operand is written to OUTDIR/NAME.EXT (NAME: the file's name
// without its extension). A folder operand contributes the images in it
// (with `recursive`, in its subfolders too), in name order, each written to
// OUTDIR/RELATIVE/NAME.EXT where RELATIVE is its subfolder within the
// operand, so that images of equal names in different subfolders are all
// written. Images are recognised by the extensions .pgm, .ppm, .pnm, .png,
// .jpg and .jpeg in any case; hidden files and folders are passed over.
// Throws UsageError when two images would share an output, Error when a
// folder cannot be read.
std::vector<BatchItem> batchItemsOf(const std::vector<std::string>& operands, bool recursive,
                                    const std::string& outDir, const std::string& extension,
                                    const std::string& command);

// Whether any operand is a folder.
bool namesAFolder(const std::vector<std::string>& operands);

}  // namespace tolvane

#endif
