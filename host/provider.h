// Provider bases of the host framework. Header-only: a plug-in compiles these
// bodies itself. The host holds providers through std::shared_ptr<Provider>.
#pragma once

#include <memory>
#include <vector>

#include "host/tessel_device.h"

class Provider {
public:
    Provider() = default;
    virtual ~Provider() = default;
};

class TesselSPDeviceProvider : public Provider {
public:
    // The host owns the returned device and deletes it through its virtual destructor.
    virtual TesselSPDevice* create() const = 0;
};

// Shape of the plug-in's exported entry point, as the host looks it up.
using get_providers_fn = std::vector<std::shared_ptr<Provider>> (*)();
