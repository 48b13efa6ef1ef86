#include "resources/config_image.hpp"

namespace oscset::resources {

bool config_image_is_placeholder() {
    return OSCSET_CONFIG_IMAGE_PLACEHOLDER != 0;
}

}  // namespace oscset::resources
