// The controller a device reports to: publication, history, threshold rules,
// the serial port and the settings handed on by SPModbus::InitSetting.
// Devices reach it through the weak pointer given to TesselVDevice::Init; a
// device that was never attached sends nothing and its requests go nowhere.
#pragma once

#include <string>
#include <vector>

#include <json/value.h>

#include "host/tessel_device.h"

class TESSEL_API TesselController {
public:
    TesselController();
    virtual ~TesselController();
    TesselController(const TesselController&) = delete;
    TesselController& operator=(const TesselController&) = delete;

    virtual int SendSP(TesselVDevice& device, int data_id, const void* data, int length,
                       bool delayed);
    virtual void SaveDeviceHistory(TesselVDevice& device, const void* data, int length);
    virtual bool CheckAOReport(TesselVDevice& device, const std::string& name, float value);
    virtual void CheckThreshold(TesselVDevice& device, const std::string& name,
                                const std::string& extra, float& value, int level);
    virtual bool DoBatchCheckThreshold(TesselVDevice& device, std::vector<rule_value>& batch);
    virtual void Reset(TesselSPDevice& device);
    virtual int OpenPort(TesselSPDevice& device);
    virtual int RefreshStatus(TesselSPDevice& device);
    virtual int InitSetting(SPModbus& device, const Json::Value& settings);
};
