#include "extensions.h"
#include "opencv_format.h"

#include <exception>

namespace tolvane {
namespace {

// operation with an ExtensionFailure in place of the exceptions it throws.
template <auto operation>
struct Guarded;

template <class Result, class... Parameters, Result (*operation)(Parameters...)>
struct Guarded<operation> {
    static Result call(Parameters... parameters, ExtensionFailure& failure)
    {
        try {
            return operation(std::forward<Parameters>(parameters)...);
        } catch (const Error& e) {
            failure = ExtensionFailure{ExtensionFailure::Kind::Error, e.code(), e.what()};
        } catch (const std::exception& e) {
            failure = ExtensionFailure{ExtensionFailure::Kind::Other, ErrorCode::BadData, e.what()};
        }
        return Result();
    }
};

ColmapDatabase* openColmapDatabase(const std::string& path)
{
    return new ColmapDatabase(path);
}

void closeColmapDatabase(ColmapDatabase* database)
{
    delete database;
}

bool hasColmapImageNamed(const ColmapDatabase* database, const std::string& name)
{
    return database->hasImageNamed(name);
}

void addColmapImage(ColmapDatabase* database, const ColmapImage& image)
{
    database->add(image);
}

}  // namespace

const Extensions& extensionTable()
{
    static const Extensions table{
        &Guarded<fitModel>::call,           &Guarded<openCvFramesText>::call,    &Guarded<readOpenCvFrames>::call,
        &Guarded<openColmapDatabase>::call, &closeColmapDatabase,                &Guarded<hasColmapImageNamed>::call,
        &Guarded<addColmapImage>::call,
    };
    return table;
}

}  // namespace tolvane
