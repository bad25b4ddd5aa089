#include "platform/services.h"

namespace plat {

Services& services() {
    static Services s;
    return s;
}

}  // namespace plat
