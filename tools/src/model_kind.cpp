#include "model_fit.h"

namespace tolvane {

bool parseModelKind(const std::string& name, ModelKind& kind)
{
    if (name == "homography")
        kind = ModelKind::Homography;
    else if (name == "fundamental")
        kind = ModelKind::Fundamental;
    else if (name == "none")
        kind = ModelKind::None;
    else
        return false;
    return true;
}

const char* nameOf(ModelKind kind)
{
    switch (kind) {
    case ModelKind::Homography:
        return "homography";
    case ModelKind::Fundamental:
        return "fundamental";
    case ModelKind::None:
        break;
    }
    return "none";
}

}  // namespace tolvane
