// The unit's point map: every signal of the data record, in record order,
// with the Modbus input it comes from, how the status document shows it, and
// what it means. The renderer, the people's point table (docs/points.md) and
// the checks below all read these tables; nothing else lists the signals.
//
// The record is walked read by read (the reads of kPollReads): the points of
// a read sit at consecutive record positions, one byte per input bit and one
// word per input register, in ascending address order. A derived point reads
// no field of its own (width 0) and is shown right after the point before it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <iosfwd>

#include "quillark/record.h"

namespace quillark {

enum class PointKind : std::uint8_t {
    Contact,        // input bit: switch contact, "open" / "closed"
    Valve,          // input bit: valve or operating state, "off" / "on"
    Pump,           // input bit: refrigerant pump, "stopped" / "output on"
    Power,          // input bit: system power, "switched off" / "switched on"
    NetworkedUnit,  // input bit: communication state of a networked unit, the byte as a number
    Alarm,          // input bit: alarm text, and a flag in the alarm object
    Scaled,         // input register: the word in tenths (single precision)
    Raw,            // input register: the word as it is
    UnitState,      // input register: code of the unit state
    WorkingMode,    // input register: code of the working mode
    SupplyAirMean,  // derived: mean of the upper and lower supply-air temperatures
};

// Which trend a value point is drawn in, by what it measures; None: not kept
// in the history (status codes and flag words, whose mean means nothing).
enum class TrendGroup : std::uint8_t {
    None,
    Temperature,
    Humidity,
    Pressure,
    Output,  // fan, pump and compressor speeds, the expansion valve's opening
    Electrical,
    SetPoint,
    State,  // the unit state and working mode codes
};

struct Point {
    const char* key;  // member name in the status document
    PointKind kind;
    std::uint16_t address;  // input bit or input register it comes from; 0 when derived
    const char* meaning;
    // Stable ASCII name of the point for machines (metric labels, topics):
    // snake_case, unique, never changed once published.
    const char* id;
    TrendGroup trend = TrendGroup::None;
};

constexpr bool is_bit_kind(PointKind kind) { return kind <= PointKind::Alarm; }
constexpr bool is_derived(PointKind kind) { return kind == PointKind::SupplyAirMean; }

// Record bytes a point takes.
constexpr std::size_t width_of(PointKind kind) {
    return is_derived(kind) ? 0 : is_bit_kind(kind) ? 1 : 2;
}

// ---- Labels ---------------------------------------------------------------

inline constexpr const char* kInvalidLabel = "无效值";  // any code without a label
inline constexpr const char* kAlarmRaised = "告警";
inline constexpr const char* kAlarmNormal = "正常";
inline constexpr const char* kAlertArrayKey = "AlertArray";  // object: alarm name -> raised
inline constexpr const char* kUpdateTimeKey = "更新时间";    // from the record's time stamp

struct LabelPair {
    const char* zero;
    const char* one;
};

inline constexpr LabelPair kContactLabels = {"断开", "闭合"};
inline constexpr LabelPair kValveLabels = {"关闭", "开启"};
inline constexpr LabelPair kPumpLabels = {"停止", "输出"};
inline constexpr LabelPair kPowerLabels = {"关机", "开机"};

// Label of a state byte: 0 and 1 are the two states, anything else is invalid.
constexpr const char* state_label(PointKind kind, std::uint8_t byte) {
    const LabelPair labels = kind == PointKind::Contact ? kContactLabels
                             : kind == PointKind::Pump  ? kPumpLabels
                             : kind == PointKind::Power ? kPowerLabels
                                                        : kValveLabels;
    return byte == 0 ? labels.zero : byte == 1 ? labels.one : kInvalidLabel;
}

// Labels of a code word, indexed by the code; any higher code is invalid.
struct CodeLabel {
    const char* label;
    const char* meaning;
};

inline constexpr std::array<CodeLabel, 5> kUnitStateLabels{{
    {"机组关闭", "unit off"},
    {"机组开机", "unit on"},
    {"机组待机", "unit on standby"},
    {"机组锁定", "unit locked"},
    {"远程关机", "shut down remotely"},
}};

// "压泵": compressor and pump running together.
inline constexpr std::array<CodeLabel, 9> kWorkingModeLabels{{
    {"泵模式", "pump mode"},
    {"泵向压缩机切换模式", "changing over from pump to compressor"},
    {"压缩机向泵切换模式", "changing over from compressor to pump"},
    {"压缩机模式", "compressor mode"},
    {"压缩机向压泵切换模式", "changing over from compressor to compressor-and-pump"},
    {"压泵向压缩机切换模式", "changing over from compressor-and-pump to compressor"},
    {"压泵模式", "compressor-and-pump mode"},
    {"压泵向泵切换模式", "changing over from compressor-and-pump to pump"},
    {"泵向压泵切换模式", "changing over from pump to compressor-and-pump"},
}};

template <std::size_t N>
constexpr const char* code_label(const std::array<CodeLabel, N>& labels, std::uint16_t code) {
    return code < N ? labels[code].label : kInvalidLabel;
}

// ---- Networked units ------------------------------------------------------

// Keys of the networked units: k = 1..32 in place of %d, plain decimal, in a
// zero-filled buffer of 48 bytes (the longest key takes 27).
inline constexpr char kUnitKeyPattern[] = "#%d组网机组通讯状态";
constexpr std::size_t kUnitKeySize = 48;
constexpr std::size_t kNetworkedUnits = 32;
constexpr std::uint16_t kFirstUnitBit = 141;

using UnitKey = std::array<char, kUnitKeySize>;

// The pattern with k for %d, cut (and always terminated) at the buffer's end,
// as a length-bounded snprintf would leave it.
constexpr UnitKey format_unit_key(unsigned k) {
    UnitKey key{};
    std::size_t out = 0;
    for (std::size_t in = 0; kUnitKeyPattern[in] != '\0' && out + 1 < key.size(); ++in) {
        if (kUnitKeyPattern[in] == '%' && kUnitKeyPattern[in + 1] == 'd') {
            char digits[10]{};
            std::size_t n = 0;
            do {
                digits[n++] = static_cast<char>('0' + k % 10);
                k /= 10;
            } while (k != 0);
            while (n != 0 && out + 1 < key.size()) key[out++] = digits[--n];
            ++in;
        } else {
            key[out++] = kUnitKeyPattern[in];
        }
    }
    return key;
}

inline constexpr std::array<UnitKey, kNetworkedUnits> kUnitKeys = [] {
    std::array<UnitKey, kNetworkedUnits> keys{};
    for (std::size_t k = 0; k < keys.size(); ++k) keys[k] = format_unit_key(unsigned(k + 1));
    return keys;
}();

constexpr bool unit_keys_fit() {
    for (const UnitKey& key : kUnitKeys)
        if (key[key.size() - 2] != '\0') return false;  // nothing was cut
    return true;
}
static_assert(unit_keys_fit(), "every networked-unit key fits its buffer whole");

// Ids of the networked units: networked_unit_01 .. networked_unit_32.
using UnitId = std::array<char, 18>;
inline constexpr std::array<UnitId, kNetworkedUnits> kUnitIds = [] {
    std::array<UnitId, kNetworkedUnits> ids{};
    for (std::size_t k = 0; k < ids.size(); ++k) {
        const char stem[] = "networked_unit_";
        std::size_t i = 0;
        for (; stem[i] != '\0'; ++i) ids[k][i] = stem[i];
        ids[k][i++] = static_cast<char>('0' + (k + 1) / 10);
        ids[k][i++] = static_cast<char>('0' + (k + 1) % 10);
    }
    return ids;
}();

// ---- The map --------------------------------------------------------------

// The tables by block; a trailing comment gives the record offset of the row.
namespace points_detail {
using K = PointKind;
using T = TrendGroup;

// One row per point, as the unit's manual lists them; kept one line each.
// clang-format off
inline constexpr std::array<Point, 18> kStatePoints{{
    {"滤网堵塞开关状态", K::Contact, 1, "filter-clogged switch", "filter_clogged_switch"},  // 4
    {"高压告警开关状态", K::Contact, 2, "high-pressure alarm switch", "high_pressure_alarm_switch"},  // 5
    {"低压告警开关状态", K::Contact, 3, "low-pressure alarm switch", "low_pressure_alarm_switch"},  // 6
    {"上风机故障开关", K::Contact, 4, "upper fan fault switch", "upper_fan_fault_switch"},  // 7
    {"中风机故障开关", K::Contact, 5, "middle fan fault switch", "middle_fan_fault_switch"},  // 8
    {"消防连锁", K::Contact, 6, "fire-protection interlock", "fire_protection_interlock"},  // 9
    {"漏水检测", K::Contact, 8, "water-leak detector", "water_leak_detector"},  // 10
    {"下风机故障开关", K::Contact, 9, "lower fan fault switch", "lower_fan_fault_switch"},  // 11
    {"氟系统电磁阀", K::Valve, 16, "refrigerant-circuit solenoid valve", "refrigerant_circuit_solenoid_valve"},  // 12
    {"水系统电磁阀", K::Valve, 17, "water-circuit solenoid valve", "water_circuit_solenoid_valve"},  // 13
    {"机组运行状态", K::Valve, 18, "unit running state", "unit_running_state"},  // 14
    {"液管电磁阀", K::Valve, 20, "liquid-line solenoid valve", "liquid_line_solenoid_valve"},  // 15
    {"氟泵状态", K::Pump, 61, "refrigerant pump state", "refrigerant_pump_state"},  // 16
    {"系统开机", K::Power, 111, "system switched on", "system_switched_on"},  // 17
    {"制冷状态", K::Valve, 120, "cooling active", "cooling_active"},  // 18
    {"制热状态", K::Valve, 121, "heating active", "heating_active"},  // 19
    {"加湿状态", K::Valve, 122, "humidifying active", "humidifying_active"},  // 20
    {"除湿状态", K::Valve, 123, "dehumidifying active", "dehumidifying_active"},  // 21
}};

inline constexpr std::array<Point, kNetworkedUnits> kUnitPoints = [] {
    std::array<Point, kNetworkedUnits> points{};
    for (std::size_t k = 0; k < points.size(); ++k)
        points[k] = Point{kUnitKeys[k].data(), K::NetworkedUnit,
                          static_cast<std::uint16_t>(kFirstUnitBit + k),
                          "communication state of networked unit", kUnitIds[k].data()};
    return points;
}();

inline constexpr std::array<Point, 56> kAlarmPoints{{
    {"滤网堵塞告警", K::Alarm, 181, "filter clogged", "alarm_filter_clogged"},  // 54
    {"高压告警", K::Alarm, 182, "high pressure", "alarm_high_pressure"},  // 55
    {"低压告警", K::Alarm, 183, "low pressure", "alarm_low_pressure"},  // 56
    {"上风机故障告警", K::Alarm, 184, "upper fan fault", "alarm_upper_fan_fault"},  // 57
    {"中风机故障告警", K::Alarm, 185, "middle fan fault", "alarm_middle_fan_fault"},  // 58
    {"消防连锁告警", K::Alarm, 186, "fire-protection interlock", "alarm_fire_protection_interlock"},  // 59
    {"冷凝器高水位告警", K::Alarm, 187, "condenser high water level", "alarm_condenser_high_water_level"},  // 60
    {"漏水告警", K::Alarm, 188, "water leak", "alarm_water_leak"},  // 61
    {"下风机故障告警", K::Alarm, 189, "lower fan fault", "alarm_lower_fan_fault"},  // 62
    {"外风机故障告警", K::Alarm, 190, "outdoor fan fault", "alarm_outdoor_fan_fault"},  // 63
    {"室内回风温度故障告警", K::Alarm, 196, "indoor return-air temperature sensor fault", "alarm_indoor_return_air_temperature_sensor_fault"},  // 64
    {"室内回风湿度故障告警", K::Alarm, 197, "indoor return-air humidity sensor fault", "alarm_indoor_return_air_humidity_sensor_fault"},  // 65
    {"出风温度#1故障", K::Alarm, 198, "supply-air temperature sensor 1 fault", "alarm_supply_air_temperature_sensor_1_fault"},  // 66
    {"出风温度#2故障", K::Alarm, 199, "supply-air temperature sensor 2 fault", "alarm_supply_air_temperature_sensor_2_fault"},  // 67
    {"吸气压力故障告警", K::Alarm, 200, "suction pressure sensor fault", "alarm_suction_pressure_sensor_fault"},  // 68
    {"吸气温度故障告警", K::Alarm, 201, "suction temperature sensor fault", "alarm_suction_temperature_sensor_fault"},  // 69
    {"排气温度故障告警", K::Alarm, 202, "discharge temperature sensor fault", "alarm_discharge_temperature_sensor_fault"},  // 70
    {"出风温度#3故障", K::Alarm, 203, "supply-air temperature sensor 3 fault", "alarm_supply_air_temperature_sensor_3_fault"},  // 71
    {"排气压力故障告警", K::Alarm, 204, "discharge pressure sensor fault", "alarm_discharge_pressure_sensor_fault"},  // 72
    {"内风机1故障告警", K::Alarm, 205, "indoor fan 1 fault", "alarm_indoor_fan_1_fault"},  // 73
    {"内风机2故障告警", K::Alarm, 206, "indoor fan 2 fault", "alarm_indoor_fan_2_fault"},  // 74
    {"内风机3故障告警", K::Alarm, 207, "indoor fan 3 fault", "alarm_indoor_fan_3_fault"},  // 75
    {"内风机4故障告警", K::Alarm, 208, "indoor fan 4 fault", "alarm_indoor_fan_4_fault"},  // 76
    {"内风机5故障告警", K::Alarm, 209, "indoor fan 5 fault", "alarm_indoor_fan_5_fault"},  // 77
    {"内风机6故障告警", K::Alarm, 210, "indoor fan 6 fault", "alarm_indoor_fan_6_fault"},  // 78
    {"内风机7故障告警", K::Alarm, 211, "indoor fan 7 fault", "alarm_indoor_fan_7_fault"},  // 79
    {"内风机8故障告警", K::Alarm, 212, "indoor fan 8 fault", "alarm_indoor_fan_8_fault"},  // 80
    {"泵变频器通讯告警", K::Alarm, 241, "pump inverter communication fault", "alarm_pump_inverter_communication_fault"},  // 81
    {"泵变频器故障告警", K::Alarm, 242, "pump inverter fault", "alarm_pump_inverter_fault"},  // 82
    {"泵入口压力故障告警", K::Alarm, 249, "pump inlet pressure sensor fault", "alarm_pump_inlet_pressure_sensor_fault"},  // 83
    {"泵出口压力故障告警", K::Alarm, 250, "pump outlet pressure sensor fault", "alarm_pump_outlet_pressure_sensor_fault"},  // 84
    {"冷凝风机变频器故障告警", K::Alarm, 280, "condenser fan inverter fault", "alarm_condenser_fan_inverter_fault"},  // 85
    {"环境温度故障告警", K::Alarm, 283, "ambient temperature sensor fault", "alarm_ambient_temperature_sensor_fault"},  // 86
    {"冷凝器压力故障告警", K::Alarm, 284, "condenser pressure sensor fault", "alarm_condenser_pressure_sensor_fault"},  // 87
    {"高温告警", K::Alarm, 296, "high temperature", "alarm_high_temperature"},  // 88
    {"低温告警", K::Alarm, 297, "low temperature", "alarm_low_temperature"},  // 89
    {"高湿告警", K::Alarm, 298, "high humidity", "alarm_high_humidity"},  // 90
    {"低湿告警", K::Alarm, 299, "low humidity", "alarm_low_humidity"},  // 91
    {"排气温度告警", K::Alarm, 300, "discharge temperature too high", "alarm_discharge_temperature_too_high"},  // 92
    {"高压锁定告警", K::Alarm, 302, "high-pressure lockout", "alarm_high_pressure_lockout"},  // 93
    {"低压锁定告警", K::Alarm, 304, "low-pressure lockout", "alarm_low_pressure_lockout"},  // 94
    {"排气锁定告警", K::Alarm, 306, "discharge lockout", "alarm_discharge_lockout"},  // 95
    {"扩展板通讯故障告警", K::Alarm, 308, "expansion board communication fault", "alarm_expansion_board_communication_fault"},  // 96
    {"泵控制器通讯故障告警", K::Alarm, 309, "pump controller communication fault", "alarm_pump_controller_communication_fault"},  // 97
    {"冷凝风机通讯故障告警", K::Alarm, 311, "condenser fan communication fault", "alarm_condenser_fan_communication_fault"},  // 98
    {"吸气温度过高告警", K::Alarm, 317, "suction temperature too high", "alarm_suction_temperature_too_high"},  // 99
    {"防冻结告警", K::Alarm, 319, "freeze protection", "alarm_freeze_protection"},  // 100
    {"泵高扬程告警", K::Alarm, 321, "pump head too high", "alarm_pump_head_too_high"},  // 101
    {"泵低扬程告警", K::Alarm, 323, "pump head too low", "alarm_pump_head_too_low"},  // 102
    {"电压过高告警", K::Alarm, 328, "voltage too high", "alarm_voltage_too_high"},  // 103
    {"电压过低告警", K::Alarm, 329, "voltage too low", "alarm_voltage_too_low"},  // 104
    {"电流过高告警", K::Alarm, 330, "current too high", "alarm_current_too_high"},  // 105
    {"压缩机驱动通讯故障", K::Alarm, 331, "compressor drive communication fault", "alarm_compressor_drive_communication_fault"},  // 106
    {"压缩机驱动故障", K::Alarm, 333, "compressor drive fault", "alarm_compressor_drive_fault"},  // 107
    {"吸气温度过高锁定", K::Alarm, 353, "suction temperature too high, locked out", "alarm_suction_temperature_too_high_locked_out"},  // 108
    {"远程温湿度通讯故障", K::Alarm, 356, "remote temperature and humidity sensor communication fault", "alarm_remote_temperature_and_humidity_sensor_communication_fault"},  // 109
}};

// The middle supply-air temperature has no register of its own; it is shown
// as the mean of the upper and lower supply-air temperatures.
inline constexpr std::array<Point, 36> kValuePoints{{
    {"室内回风温度测量值", K::Scaled, 21, "indoor return-air temperature, measured", "indoor_return_air_temperature_measured", T::Temperature},  // 110
    {"室内回风湿度测量值", K::Scaled, 22, "indoor return-air humidity, measured", "indoor_return_air_humidity_measured", T::Humidity},  // 112
    {"室内上送风温度测量值", K::Scaled, 23, "indoor upper supply-air temperature, measured", "indoor_upper_supply_air_temperature_measured", T::Temperature},  // 114
    {"环境温度", K::Scaled, 24, "ambient temperature", "ambient_temperature", T::Temperature},  // 116
    {"吸气压力测量值", K::Scaled, 25, "suction pressure, measured", "suction_pressure_measured", T::Pressure},  // 118
    {"吸气温度测量值", K::Scaled, 26, "suction temperature, measured", "suction_temperature_measured", T::Temperature},  // 120
    {"排气温度测量值", K::Scaled, 27, "discharge temperature, measured", "discharge_temperature_measured", T::Temperature},  // 122
    {"室内下送风温度测量值", K::Scaled, 28, "indoor lower supply-air temperature, measured", "indoor_lower_supply_air_temperature_measured", T::Temperature},  // 124
    {"冷凝压力测量值", K::Scaled, 29, "condensing pressure, measured", "condensing_pressure_measured", T::Pressure},  // 126
    {"A相电压", K::Scaled, 38, "phase A voltage", "phase_a_voltage", T::Electrical},  // 128
    {"B相电压", K::Scaled, 39, "phase B voltage", "phase_b_voltage", T::Electrical},  // 130
    {"C相电压", K::Scaled, 40, "phase C voltage", "phase_c_voltage", T::Electrical},  // 132
    {"内风机转速控制", K::Raw, 61, "indoor fan speed command", "indoor_fan_speed_command", T::Output},  // 134
    {"送风湿度", K::Scaled, 66, "supply-air humidity", "supply_air_humidity", T::Humidity},  // 136
    {"中送风温度", K::SupplyAirMean, 0, "middle supply-air temperature, mean of upper and lower", "middle_supply_air_temperature", T::Temperature},  // derived
    {"泵入口压力", K::Scaled, 91, "pump inlet pressure", "pump_inlet_pressure", T::Pressure},  // 138
    {"泵出口压力", K::Scaled, 92, "pump outlet pressure", "pump_outlet_pressure", T::Pressure},  // 140
    {"氟泵驱动状态码", K::Raw, 94, "refrigerant pump drive status code", "refrigerant_pump_drive_status_code"},  // 142
    {"泵转速控制", K::Raw, 111, "pump speed command", "pump_speed_command", T::Output},  // 144
    {"风机驱动状态码", K::Raw, 143, "fan drive status code", "fan_drive_status_code"},  // 146
    {"冷凝风机转速", K::Raw, 151, "condenser fan speed", "condenser_fan_speed", T::Output},  // 148
    {"温度设定值", K::Scaled, 171, "temperature set point", "temperature_set_point", T::SetPoint},  // 150
    {"温度范围设定值", K::Scaled, 172, "temperature range set point", "temperature_range_set_point", T::SetPoint},  // 152
    {"温度静区设定值", K::Scaled, 173, "temperature dead-band set point", "temperature_dead_band_set_point", T::SetPoint},  // 154
    {"湿度设定值", K::Scaled, 174, "humidity set point", "humidity_set_point", T::SetPoint},  // 156
    {"湿度范围设定值", K::Scaled, 175, "humidity range set point", "humidity_range_set_point", T::SetPoint},  // 158
    {"湿度静区设定值", K::Scaled, 176, "humidity dead-band set point", "humidity_dead_band_set_point", T::SetPoint},  // 160
    {"机组状态", K::UnitState, 195, "unit state", "unit_state", T::State},  // 162
    {"系统当前工作模式", K::WorkingMode, 208, "current working mode of the system", "working_mode", T::State},  // 164
    {"过热度", K::Scaled, 260, "superheat", "superheat", T::Temperature},  // 166
    {"膨胀阀开度", K::Scaled, 262, "expansion valve opening", "expansion_valve_opening", T::Output},  // 168
    {"压机驱动母线电压", K::Raw, 616, "compressor drive DC bus voltage", "compressor_drive_dc_bus_voltage", T::Electrical},  // 170
    {"压机驱动输出电流", K::Raw, 620, "compressor drive output current", "compressor_drive_output_current", T::Electrical},  // 172
    {"压机驱动告警标志#1", K::Raw, 626, "compressor drive alarm flag word 1", "compressor_drive_alarm_flag_word_1"},  // 174
    {"压机驱动告警标志#2", K::Raw, 627, "compressor drive alarm flag word 2", "compressor_drive_alarm_flag_word_2"},  // 176
    {"压缩机转速控制", K::Raw, 631, "compressor speed command", "compressor_speed_command", T::Output},  // 178
}};
// clang-format on

template <std::size_t... N>
constexpr auto join(const std::array<Point, N>&... parts) {
    std::array<Point, (N + ...)> all{};
    std::size_t i = 0;
    auto append = [&](const auto& part) {
        for (const Point& point : part) all[i++] = point;
    };
    (append(parts), ...);
    return all;
}
}  // namespace points_detail

// Every point, in record order.
inline constexpr auto kPoints =
    points_detail::join(points_detail::kStatePoints, points_detail::kUnitPoints,
                        points_detail::kAlarmPoints, points_detail::kValuePoints);

constexpr std::size_t kAlarmCount = points_detail::kAlarmPoints.size();

// ---- Walk -----------------------------------------------------------------

// The points of read g are kPoints[kGroupStart[g] .. kGroupStart[g + 1]): as
// many as fill the read's bytes, plus any derived points that follow them.
inline constexpr auto kGroupStart = [] {
    std::array<std::size_t, kPollReads.size() + 1> start{};
    std::size_t p = 0;
    for (std::size_t g = 0; g < kPollReads.size(); ++g) {
        start[g] = p;
        std::size_t filled = 0;
        while (p < kPoints.size() &&
               (filled < kPollReads[g].width() || is_derived(kPoints[p].kind))) {
            filled += width_of(kPoints[p].kind);
            ++p;
        }
    }
    start[kPollReads.size()] = p;
    return start;
}();

// Record offset of every point, walking the points' own widths from offset 4.
inline constexpr auto kPointOffsets = [] {
    std::array<std::size_t, kPoints.size()> offsets{};
    std::size_t cursor = kInputsOffset;
    for (std::size_t p = 0; p < kPoints.size(); ++p) {
        offsets[p] = cursor;
        cursor += width_of(kPoints[p].kind);
    }
    return offsets;
}();

constexpr std::size_t walk_end() { return kPointOffsets.back() + width_of(kPoints.back().kind); }

constexpr bool groups_filled_exactly() {
    if (kGroupStart.back() != kPoints.size()) return false;
    for (std::size_t g = 0; g < kPollReads.size(); ++g) {
        std::size_t filled = 0;
        for (std::size_t p = kGroupStart[g]; p < kGroupStart[g + 1]; ++p)
            filled += width_of(kPoints[p].kind);
        if (filled != kPollReads[g].width()) return false;
    }
    return true;
}

constexpr bool points_match_reads() {
    for (std::size_t g = 0; g < kPollReads.size(); ++g) {
        const PollRead& read = kPollReads[g];
        std::size_t position = 0;
        for (std::size_t p = kGroupStart[g]; p < kGroupStart[g + 1]; ++p) {
            const Point& point = kPoints[p];
            if (is_derived(point.kind)) continue;
            if (is_bit_kind(point.kind) != (read.kind == ReadKind::Bits)) return false;
            if (point.address != read.address + position) return false;
            ++position;
        }
    }
    return true;
}

static_assert(groups_filled_exactly(), "the points of each read fill exactly its bytes");
static_assert(
    points_match_reads(),
    "each point comes from its read's start address plus its position, of the read's kind");
static_assert(walk_end() == offsetof(Quillark_Data_t, time_stamp),
              "the walk ends where the time stamp begins");
static_assert(walk_end() == 180);

// Record offset of the point fed by an input register; 0 if none is.
constexpr std::size_t register_offset(std::uint16_t address) {
    for (std::size_t p = 0; p < kPoints.size(); ++p)
        if (!is_bit_kind(kPoints[p].kind) && !is_derived(kPoints[p].kind) &&
            kPoints[p].address == address)
            return kPointOffsets[p];
    return 0;
}

// Sources of the derived middle supply-air temperature.
constexpr std::uint16_t kUpperSupplyAirRegister = 23;
constexpr std::uint16_t kLowerSupplyAirRegister = 28;
constexpr std::size_t kUpperSupplyAirOffset = register_offset(kUpperSupplyAirRegister);
constexpr std::size_t kLowerSupplyAirOffset = register_offset(kLowerSupplyAirRegister);
static_assert(kUpperSupplyAirOffset == 114 && kLowerSupplyAirOffset == 124);

constexpr std::size_t count_kind(PointKind kind) {
    std::size_t n = 0;
    for (const Point& point : kPoints) n += point.kind == kind;
    return n;
}
constexpr std::size_t first_of_kind(PointKind kind) {
    std::size_t p = 0;
    while (p < kPoints.size() && kPoints[p].kind != kind) ++p;
    return p;
}

static_assert(count_kind(PointKind::Alarm) == kAlarmCount);
static_assert(count_kind(PointKind::NetworkedUnit) == kNetworkedUnits);
static_assert(count_kind(PointKind::SupplyAirMean) == 1);

constexpr bool same_text(const char* a, const char* b) {
    while (*a != '\0' && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

// Each point is its own member of the document (and of the alarm object). A
// row left out of a table has no key, which stops the compiler here too.
constexpr bool keys_distinct() {
    for (std::size_t p = 0; p < kPoints.size(); ++p) {
        if (same_text(kPoints[p].key, kAlertArrayKey) || same_text(kPoints[p].key, kUpdateTimeKey))
            return false;
        for (std::size_t q = 0; q < p; ++q)
            if (same_text(kPoints[p].key, kPoints[q].key)) return false;
    }
    return true;
}
static_assert(keys_distinct(), "every key names one member");

constexpr bool is_snake_case(const char* id) {
    if (!(*id >= 'a' && *id <= 'z'))
        return false;  // a row without an id stops the compiler here too
    char previous = '\0';
    for (; *id != '\0'; previous = *id++) {
        const bool ok = (*id >= 'a' && *id <= 'z') || (*id >= '0' && *id <= '9') || *id == '_';
        if (!ok || (*id == '_' && previous == '_')) return false;
    }
    return previous != '_';
}

constexpr bool ids_snake_case_and_distinct() {
    for (std::size_t p = 0; p < kPoints.size(); ++p) {
        if (!is_snake_case(kPoints[p].id)) return false;
        for (std::size_t q = 0; q < p; ++q)
            if (same_text(kPoints[p].id, kPoints[q].id)) return false;
    }
    return true;
}
static_assert(ids_snake_case_and_distinct(), "every point has its own snake_case id");

// Members of the status document: every point, the alarm object and the update time.
constexpr std::size_t kDocumentMembers = kPoints.size() + 2;

// ---- Values ---------------------------------------------------------------

// Tenths in single precision, widened: 231 gives 23.100000381469727.
constexpr float scaled_value(std::uint16_t word) { return static_cast<float>(word) / 10.0f; }

constexpr float supply_air_mean(std::uint16_t upper, std::uint16_t lower) {
    return (scaled_value(upper) + scaled_value(lower)) / 2.0f;
}

// The people's point table, in Markdown (docs/points.md).
void write_point_table(std::ostream& out);

}  // namespace quillark
