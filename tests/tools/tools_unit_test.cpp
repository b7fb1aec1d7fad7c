// The tools' own logic: argument values, the simulated unit's image and
// fault schedule, and the poller's exit status and document printing.
#include <signal.h>

#include <set>

#include <gtest/gtest.h>
#include <json/reader.h>
#include <modbus.h>

#include "hostkit/common/args.h"
#include "tools/poll/poller.h"
#include "quillark/record.h"
#include "hostkit/simunit/unit.h"
#include "hostkit/simunit/unit_image.h"

using namespace quillark_tools;

namespace {

Json::Value json(const std::string& text) {
    Json::CharReaderBuilder builder;
    Json::Value value;
    std::string errors;
    std::istringstream in(text);
    EXPECT_TRUE(Json::parseFromStream(builder, in, &value, &errors)) << errors;
    return value;
}

}  // namespace

TEST(Args, Endpoints) {
    struct Case {
        const char* text;
        const char* default_host;
        bool any_port;
        const char* host;  // nullptr: refused
        int port;
    };
    const Case cases[] = {
        {"127.0.0.1:502", "", false, "127.0.0.1", 502},
        {"unit-7.local:1502", "", false, "unit-7.local", 1502},
        {"[::1]:502", "", false, "::1", 502},
        {"1502", "127.0.0.1", false, "127.0.0.1", 1502},
        {"0", "127.0.0.1", true, "127.0.0.1", 0},
        {"127.0.0.1:0", "", true, "127.0.0.1", 0},
        {"127.0.0.1:0", "", false, nullptr, 0},
        {"1502", "", false, nullptr, 0},
        {"127.0.0.1:", "", false, nullptr, 0},
        {":502", "", false, nullptr, 0},
        {"127.0.0.1:65536", "", false, nullptr, 0},
        {"127.0.0.1:-1", "", false, nullptr, 0},
        {"127.0.0.1:5o2", "", false, nullptr, 0},
        {"::1:502", "", false, nullptr, 0},
        {"[::1]502", "", false, nullptr, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        if (c.host == nullptr) {
            EXPECT_THROW(parse_endpoint(c.text, c.default_host, c.any_port), std::invalid_argument);
            continue;
        }
        const Endpoint e = parse_endpoint(c.text, c.default_host, c.any_port);
        EXPECT_EQ(e.host, c.host);
        EXPECT_EQ(e.port, c.port);
    }
}

TEST(Args, NumbersAreReadOneWay) {
    struct Case {
        const char* text;
        long long min, max;
        long long value;  // -1: refused
    };
    const Case whole[] = {
        {"010", 0, 255, 10},
        {"0", 0, 255, 0},
        {"0x1F", 0, 255, 31},
        {"256", 0, 255, -1},
        {"-1", 0, 255, -1},
        {"1e3", 0, 5000, -1},
        {" 5", 0, 255, -1},
        {"", 0, 255, -1},
        {"99999999999999999999", 0, 2147483647, -1},
        {"000000000000000000007", 0, 9, 7},
    };
    for (const Case& c : whole) {
        SCOPED_TRACE(c.text);
        if (c.value < 0) EXPECT_THROW(parse_number(c.text, c.min, c.max), std::invalid_argument);
        else EXPECT_EQ(parse_number(c.text, c.min, c.max), c.value);
    }
    for (const char* bad : {"nan", "inf", "-0.5", "1e2", "0x10", "1.2.3", ".", "86401", ""})
        EXPECT_THROW(parse_decimal(bad, 0, 86400), std::invalid_argument) << bad;
    EXPECT_DOUBLE_EQ(parse_decimal("0.2", 0, 86400), 0.2);
    EXPECT_DOUBLE_EQ(parse_decimal("010", 0, 86400), 10);
    EXPECT_DOUBLE_EQ(parse_decimal(".5", 0, 86400), 0.5);

    // libmodbus sets 9600 for any speed it does not know, the standard
    // termios ones among them.
    for (const char* bad : {"14400", "250000", "9601", "50", "75", "134", "150", "200", "1800"})
        EXPECT_THROW(parse_baud(bad), std::invalid_argument) << bad;
    EXPECT_EQ(parse_baud("19200"), 19200);

    EXPECT_EQ(parse_unit_address("192.0.2.10").port, 502);
    EXPECT_EQ(parse_unit_address("[::1]").host, "::1");
    EXPECT_EQ(parse_unit_address("[::1]:1502").port, 1502);
    EXPECT_THROW(parse_unit_address("::1"), std::invalid_argument);
}

TEST(Args, RegisterWrites) {
    struct Case {
        const char* text;
        bool multi;
        bool good;
        int address;
        std::vector<std::uint16_t> values;
    };
    const Case cases[] = {
        {"100=250", false, true, 100, {250}},
        {"0x10=0xFFFF", false, true, 16, {65535}},
        {"65535=0", false, true, 65535, {0}},
        {"100=1,2", false, false, 0, {}},
        {"100", false, false, 0, {}},
        {"=5", false, false, 0, {}},
        {"100=", false, false, 0, {}},
        {"100=65536", false, false, 0, {}},
        {"100=-1", false, false, 0, {}},
        {"65536=1", false, false, 0, {}},
        {"100= 5", false, false, 0, {}},
        {"010=010", false, true, 10, {10}},  // decimal, not octal
        {"10=1,2,3", true, true, 10, {1, 2, 3}},
        {"10=7", true, true, 10, {7}},
        {"10=1,,3", true, false, 0, {}},
        {"10=1,2,", true, false, 0, {}},
        {"65535=1,2", true, false, 0, {}},  // runs past the last address
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        auto parse = [&] { return c.multi ? parse_write_multi(c.text, 123) : parse_write(c.text); };
        if (!c.good) {
            EXPECT_THROW(parse(), std::invalid_argument);
            continue;
        }
        const RegisterWrite w = parse();
        EXPECT_EQ(w.address, c.address);
        EXPECT_EQ(w.values, c.values);
    }
    std::string many = "1=";
    for (int i = 0; i < 124; ++i) many += (i ? ",1" : "1");
    EXPECT_THROW(parse_write_multi(many, 123), std::invalid_argument);
}

TEST(UnitImage, StandardUnitServesEveryPolledAddressWithNoAlarm) {
    const auto image = quillark_sim::Image::standard();
    std::size_t bits = 0;
    std::size_t registers = 0;
    for (const auto& read : quillark::kPollReads)
        for (int a = read.address; a < read.address + read.count; ++a)
            (read.kind == quillark::ReadKind::Bits ? bits : registers) +=
                read.kind == quillark::ReadKind::Bits ? image.bits.count(a)
                                                      : image.registers.count(a);
    EXPECT_EQ(bits, quillark::kInputBits);
    EXPECT_EQ(registers, quillark::kInputRegisters);
    for (int alarm = 181; alarm <= 356; ++alarm) {
        if (image.bits.count(alarm)) {
            EXPECT_EQ(image.bits.at(alarm), 0) << "alarm bit " << alarm;
        }
    }
    EXPECT_EQ(image.registers.at(195), 1);  // unit on
    EXPECT_EQ(image.registers.at(208), 3);  // compressor mode
}

TEST(UnitImage, DriftStaysNearTheCentre) {
    const auto image = quillark_sim::Image::standard();
    ASSERT_FALSE(image.drifts.empty());
    for (const auto& d : image.drifts) {
        std::set<std::uint16_t> seen;
        for (int t = 0; t < 3600; t += 7) {
            const std::uint16_t v = d.at(t);
            EXPECT_LE(std::abs(int{v} - int{d.centre}), int{d.amplitude}) << d.address;
            seen.insert(v);
        }
        EXPECT_GT(seen.size(), 1u) << "register " << d.address << " never moves";
    }
}

TEST(UnitImage, OverlayPinsItsRegisters) {
    auto image = quillark_sim::Image::standard();
    image.apply(json(R"({"bits": {"182": true, "1": 0}, "registers": {"21": 300},
                         "holding": {"5": 9}})"));
    EXPECT_EQ(image.bits.at(182), 1);
    EXPECT_EQ(image.holding.at(5), 9);
    for (double t : {0.0, 75.0, 150.0, 225.0}) EXPECT_EQ(image.registers_at(t)[21], 300);
    EXPECT_NE(image.registers_at(75.0)[22], image.registers_at(0.0)[22]);  // others still drift
}

TEST(UnitImage, BadOverlaysAreRefusedNamingTheEntry) {
    struct Case {
        const char* image;
        const char* names;
    };
    const Case cases[] = {
        {R"([1, 2])", "JSON object"},
        {R"({"coils": {}})", "coils"},
        {R"({"bits": [1]})", "bits"},
        {R"({"bits": {"x1": 1}})", "x1"},
        {R"({"bits": {"-1": 1}})", "-1"},
        {R"({"bits": {"181": 2}})", "181"},
        {R"({"bits": {"100000": 1}})", "100000"},
        {R"({"registers": {"21": 65536}})", "21"},
        {R"({"registers": {"21": -1}})", "21"},
        {R"({"registers": {"21": 2.5}})", "21"},
        {R"({"registers": {"21": true}})", "21"},
        {R"({"registers": {"9999": 1}})", "9999"},
        {R"({"holding": {"0": 1}})", "\"0\""},
        {R"({"holding": {"301": 1}})", "301"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.image);
        auto image = quillark_sim::Image::standard();
        try {
            image.apply(json(c.image));
            ADD_FAILURE() << "accepted";
        } catch (const quillark_sim::ImageError& e) {
            EXPECT_NE(std::string(e.what()).find(c.names), std::string::npos) << e.what();
        }
    }
}

TEST(FaultSchedule, DecidesEachRequest) {
    struct Case {
        const char* name;
        quillark_sim::FaultPlan plan;
        const char* replies;  // A answer, L late answer, R refuse, S silence; one per request
    };
    const quillark_sim::Request read_at_1{MODBUS_FC_READ_DISCRETE_INPUTS, 1, 6};
    const Case cases[] = {
        {"no faults", {}, "AAAAAAAA"},
        {"mute for good", {3, 0, 0, 0, {}}, "AAASSSSS"},
        {"mute from the start", {0, 0, 0, 0, {}}, "SSSSSSSS"},
        {"mute for two", {3, 2, 0, 0, {}}, "AAASSAAA"},
        {"all late", {-1, 0, 100, 0, {}}, "LLLLLLLL"},
        {"first two late", {-1, 0, 100, 2, {}}, "LLAAAAAA"},
        {"refused address inside the read", {-1, 0, 0, 0, {6}}, "RRRRRRRR"},
        {"refused address past the read", {-1, 0, 0, 0, {7}}, "AAAAAAAA"},
        {"late, then silent", {2, 0, 100, 1, {}}, "LASSSSSS"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        quillark_sim::FaultSchedule schedule(c.plan);
        std::string got;
        for (int i = 0; i < 8; ++i) {
            const auto reply = schedule.next(read_at_1);
            got += reply.kind == quillark_sim::Reply::Silence  ? 'S'
                   : reply.kind == quillark_sim::Reply::Refuse ? 'R'
                   : reply.delay_ms > 0                        ? 'L'
                                                               : 'A';
        }
        EXPECT_EQ(got, c.replies);
    }
}

TEST(Poller, ExitStatusTakesTheFirstThatApplies) {
    struct Case {
        long asked, complete, failed;
        int signal;
        std::vector<int> writes;
        bool output_failed;
        int status;
    };
    const Case cases[] = {
        {3, 3, 0, 0, {}, false, 0},         {3, 0, 3, 0, {}, false, 1},
        {3, 2, 1, 0, {}, false, 4},         {3, 1, 0, SIGINT, {}, false, 130},
        {3, 1, 1, SIGTERM, {}, false, 143}, {0, 5, 2, SIGTERM, {}, false, 0},
        {0, 0, 4, SIGINT, {}, false, 1},    {1, 1, 0, 0, {1, 3, 1}, false, 3},
        {1, 1, 0, 0, {3, -1}, false, 1},    {3, 2, 1, 0, {3}, false, 3},
        {2, 1, 0, SIGINT, {3}, false, 3},   {2, 2, 0, 0, {1}, true, 1},
    };
    for (const Case& c : cases) {
        quillark_poll::RunSummary run;
        run.rounds_asked = c.asked;
        run.complete = c.complete;
        run.failed = c.failed;
        run.stop_signal = c.signal;
        run.write_results = c.writes;
        run.output_failed = c.output_failed;
        EXPECT_EQ(quillark_poll::exit_status(run), c.status)
            << c.complete << "/" << c.asked << " complete, " << c.failed << " failed, signal "
            << c.signal << ", " << c.writes.size() << " writes";
    }
}

TEST(Poller, PrettyDocumentKeepsValuesAndShowsNamesReadably) {
    const std::string compact =
        "{\"AlertArray\":{\"\\u9ad8\\u538b\\u544a\\u8b66\":false},"
        "\"\\u5ba4\\u5185\\u56de\\u98ce\\u6e29\\u5ea6\\u6d4b\\u91cf\\u503c\":23.100000381469727}\n";
    const std::string pretty = quillark_poll::pretty_document(compact);
    EXPECT_NE(pretty.find("室内回风温度测量值"), std::string::npos) << pretty;
    EXPECT_NE(pretty.find("高压告警"), std::string::npos);
    EXPECT_EQ(pretty.find("\\u"), std::string::npos);
    EXPECT_GT(std::count(pretty.begin(), pretty.end(), '\n'), 3);
    EXPECT_EQ(json(pretty), json(compact));
    EXPECT_THROW(quillark_poll::pretty_document("null-ish"), std::invalid_argument);
}
