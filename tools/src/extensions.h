// The tool's operations that need OpenCV or SQLite. They are built into a
// module of their own, which the tool opens the first time a command needs
// one of them, so that the other commands do not load those libraries.
//
// No exception crosses the module's boundary: each operation catches what
// its code throws and reports it in an ExtensionFailure; callExtension()
// throws it again on the caller's side.
#ifndef TOLVANE_EXTENSIONS_H
#define TOLVANE_EXTENSIONS_H

#include "colmap_database.h"
#include "frame_formats.h"
#include "model_fit.h"

#include <tolvane/error.h>

#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace tolvane {

struct ExtensionFailure {
    enum class Kind { None, Error, Other };
    Kind kind = Kind::None;    // Error: a tolvane::Error; Other: any other std::exception
    ErrorCode code = ErrorCode::BadData;
    std::string message;       // what()
};

// See model_fit.h, opencv_format.h and colmap_database.h.
struct Extensions {
    ModelFit (*fitModel)(ModelKind kind, const std::vector<PointPair>& pairs, double maxError,
                         ExtensionFailure& failure);
    std::string (*openCvFramesText)(const DescriptionInfo& info, const FrameSet& set, ExtensionFailure& failure);
    bool (*readOpenCvFrames)(const std::string& content, FrameSet& set, int& width, int& height, std::string& error,
                             ExtensionFailure& failure);
    ColmapDatabase* (*openColmapDatabase)(const std::string& path, ExtensionFailure& failure);
    void (*closeColmapDatabase)(ColmapDatabase* database);
    bool (*hasColmapImageNamed)(const ColmapDatabase* database, const std::string& name, ExtensionFailure& failure);
    void (*addColmapImage)(ColmapDatabase* database, const ColmapImage& image, ExtensionFailure& failure);
};

// The module's one entry point, of type ExtensionsEntry. The number changes
// with Extensions, so that a module of another version is refused rather
// than called.
#define TOLVANE_EXTENSIONS_ENTRY tolvane_extensions_1
#define TOLVANE_QUOTED(name) TOLVANE_QUOTED_TEXT(name)
#define TOLVANE_QUOTED_TEXT(name) #name
constexpr const char* kExtensionsEntryName = TOLVANE_QUOTED(TOLVANE_EXTENSIONS_ENTRY);
using ExtensionsEntry = const Extensions* (*)();

// The table: from the module, opened on the first call (throws
// std::runtime_error, naming the module and where it was looked for, when
// it cannot be opened), or, in the programs that link the module's code,
// that code's own.
const Extensions& extensions();

// The module's table (extension_table.cpp).
const Extensions& extensionTable();

// Throws on the caller's side what an operation reported, if anything.
inline void throwIfFailed(const ExtensionFailure& failure)
{
    if (failure.kind == ExtensionFailure::Kind::Error)
        throw Error(failure.code, failure.message);
    if (failure.kind == ExtensionFailure::Kind::Other)
        throw std::runtime_error(failure.message);
}

// Calls operation, for instance callExtension(&Extensions::fitModel, kind,
// pairs, maxError), and throws what it reported.
template <class Operation, class... Arguments>
auto callExtension(Operation Extensions::*operation, Arguments&&... arguments)
{
    ExtensionFailure failure;
    auto call = [&] { return (extensions().*operation)(std::forward<Arguments>(arguments)..., failure); };
    if constexpr (std::is_void_v<decltype(call())>) {
        call();
        throwIfFailed(failure);
    } else {
        auto result = call();
        throwIfFailed(failure);
        return result;
    }
}

}  // namespace tolvane

#endif
