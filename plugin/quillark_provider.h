#pragma once

#include "host/provider.h"

// Makes drivers for the in-row air-conditioning unit. Stateless: a driver
// keeps no reference to the provider that made it.
class QuillarkProvider : public TesselSPDeviceProvider {
public:
    TesselSPDevice* create() const override;
};
