// The MQTT output of a build without libmosquitto: a broker line gets one
// entry saying so, the other MQTT keys are judged as anywhere else, and the
// output never opens.
#include "outputs/mqtt_payload.h"
#include "outputs/output_settings.h"

namespace {

int SettingWithoutMqtt(const char* key, const char* value, std::string* why)
{
    if (std::string(key) == "mqtt") {
        *why = "mqtt: this build of temp has no MQTT; ignored";
        return OUTPUT_SETTING_BAD;
    }
    return JudgeSetting<MqttSettings>(MqttTakeSetting, key, value, why);
}

int OpenNoMqtt(const TempConfig&) { return 0; }
void NoCycle(const CycleReport&) {}

}  // namespace

extern const CycleOutputOps MqttOutput = {"mqtt", OpenNoMqtt, NoCycle, nullptr, MqttKeys, SettingWithoutMqtt};
