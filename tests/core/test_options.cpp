// Argument lists built from the Client and Server settings.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "core/options.hpp"

using namespace trellan;
using Args = std::vector<std::string>;

namespace {

ClientOptions defaults() {
  ClientOptions o;
  o.server = "127.0.0.1";
  return o;
}

const Args kClientBase = {"-c", "127.0.0.1", "-p", "5201", "-t", "10", "-i", "1", "--forceflush"};

Args tail_after_base(const Args& a) { return Args(a.begin() + 9, a.end()); }

}  // namespace

TEST(ClientArguments, InitialFormGivesTheFiveFixedEntriesOnly) {
  EXPECT_EQ(defaults().to_args(), kClientBase);
}

TEST(ClientArguments, ParallelStreamsAreAddedFromTwoOn) {
  auto o = defaults();
  o.parallel = 1;
  EXPECT_EQ(tail_after_base(o.to_args()), Args{});
  o.parallel = 2;
  EXPECT_EQ(tail_after_base(o.to_args()), (Args{"-P", "2"}));
  o.parallel = 128;
  EXPECT_EQ(tail_after_base(o.to_args()), (Args{"-P", "128"}));
}

TEST(ClientArguments, BidirectionalOverridesReverse) {
  auto o = defaults();
  o.reverse = true;
  EXPECT_EQ(tail_after_base(o.to_args()), Args{"-R"});
  o.bidir = true;
  EXPECT_EQ(tail_after_base(o.to_args()), Args{"--bidir"});
  o.reverse = false;
  EXPECT_EQ(tail_after_base(o.to_args()), Args{"--bidir"});
}

TEST(ClientArguments, UdpGetsAnUnlimitedRateUnlessABitrateIsGiven) {
  auto o = defaults();
  o.udp = true;
  EXPECT_EQ(tail_after_base(o.to_args()), (Args{"-u", "-b", "0"}));
  o.bitrate = "50M";
  EXPECT_EQ(tail_after_base(o.to_args()), (Args{"-u", "-b", "50M"}));
  o.udp = false;
  EXPECT_EQ(tail_after_base(o.to_args()), (Args{"-b", "50M"}));
  o.bitrate.clear();
  EXPECT_EQ(tail_after_base(o.to_args()), Args{});
}

TEST(ClientArguments, ZeroOmitAndMssAddNothing) {
  auto o = defaults();
  o.omit = 0;
  o.mss = 0;
  EXPECT_EQ(tail_after_base(o.to_args()), Args{});
  o.omit = 3;
  o.mss = 1400;
  EXPECT_EQ(tail_after_base(o.to_args()), (Args{"-O", "3", "-M", "1400"}));
}

TEST(ClientArguments, EveryOptionAppearsInItsFixedPlace) {
  auto o = defaults();
  o.port = 65535;
  o.duration = 86400;
  o.parallel = 4;
  o.reverse = true;
  o.udp = true;
  o.bitrate = "1G";
  o.omit = 2;
  o.ip_version = IpVersion::V6;
  o.bind = "::1";
  o.window = "256K";
  o.buffer_length = "128K";
  o.mss = 9000;
  o.congestion = "bbr";
  o.no_delay = true;
  o.zero_copy = true;
  EXPECT_EQ(o.to_args(),
            (Args{"-c", "127.0.0.1", "-p", "65535", "-t", "86400", "-i", "1", "--forceflush", "-P", "4",
                  "-R", "-u", "-b", "1G", "-O", "2", "-6", "-B", "::1", "-w", "256K", "-l", "128K",
                  "-M", "9000", "-C", "bbr", "-N", "-Z"}));
  o.ip_version = IpVersion::V4;
  o.bind.clear();
  auto args = o.to_args();
  auto four = std::find(args.begin(), args.end(), "-4");
  ASSERT_NE(four, args.end());
  EXPECT_EQ(*(four - 1), "2") << "-4 follows the omit value";
  EXPECT_EQ(*(four + 1), "-w");
}

TEST(ClientArguments, HostileTextsArriveAsSingleUnchangedArguments) {
  const std::string hostile[] = {"-R", "--help", "\"quoted host\"", "$(rm -rf /)", "a b\tc",
                                 "'single'", "; reboot", std::string(10000, 'x'), "héllo wörld"};
  for (const std::string& text : hostile) {
    SCOPED_TRACE(text.substr(0, 40));
    auto o = defaults();
    o.server = text;
    o.bitrate = text;
    o.congestion = text;
    auto args = o.to_args();
    ASSERT_EQ(args.size(), 13u);
    EXPECT_EQ(args[1], text);
    EXPECT_EQ(args[10], text);
    EXPECT_EQ(args[12], text);
  }
}

TEST(ServerArguments, FixedEntriesThenBindThenOneOffLast) {
  ServerOptions o;
  EXPECT_EQ(o.to_args(), (Args{"-s", "-p", "5201", "-i", "1", "--forceflush"}));
  o.one_off = true;
  o.bind = "10.0.0.1";
  o.port = 1;
  EXPECT_EQ(o.to_args(), (Args{"-s", "-p", "1", "-i", "1", "--forceflush", "-B", "10.0.0.1", "-1"}));
}

TEST(SpinValues, SaturateIntoTheirTypesAndDropTheFraction) {
  EXPECT_EQ(saturate_u16(5201.9), 5201);
  EXPECT_EQ(saturate_u16(-1), 0);
  EXPECT_EQ(saturate_u16(70000), 65535);
  EXPECT_EQ(saturate_u16(std::nan("")), 0);
  EXPECT_EQ(saturate_u32(4294967295.0), 4294967295u);
  EXPECT_EQ(saturate_u32(1e12), 4294967295u);
  EXPECT_EQ(saturate_u32(std::numeric_limits<double>::infinity()), 4294967295u);
  EXPECT_EQ(saturate_u32(-std::numeric_limits<double>::infinity()), 0u);
  EXPECT_EQ(saturate_u32(0.99), 0u);
}

TEST(SpinValues, ComboPositionMapsToIpVersion) {
  EXPECT_EQ(ip_version_from_index(0), IpVersion::Auto);
  EXPECT_EQ(ip_version_from_index(1), IpVersion::V4);
  EXPECT_EQ(ip_version_from_index(2), IpVersion::V6);
  EXPECT_EQ(ip_version_from_index(0xFFFFFFFFu), IpVersion::Auto);
}
