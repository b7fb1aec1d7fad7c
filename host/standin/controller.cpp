// Default controller: accepts everything and reports nothing. Hosts and tests
// derive from it to route publication, history and checks where they need them.
#include "host/tessel_controller.h"

TesselController::TesselController() = default;
TesselController::~TesselController() = default;

int TesselController::SendSP(TesselVDevice&, int, const void*, int, bool) { return 1; }
void TesselController::SaveDeviceHistory(TesselVDevice&, const void*, int) {}
bool TesselController::CheckAOReport(TesselVDevice&, const std::string&, float) { return false; }
void TesselController::CheckThreshold(TesselVDevice&, const std::string&, const std::string&,
                                      float&, int) {}
bool TesselController::DoBatchCheckThreshold(TesselVDevice&, std::vector<rule_value>&) {
    return false;
}
void TesselController::Reset(TesselSPDevice&) {}
int TesselController::OpenPort(TesselSPDevice&) { return 0; }
int TesselController::RefreshStatus(TesselSPDevice&) { return 1; }
int TesselController::InitSetting(SPModbus&, const Json::Value&) { return 0; }
