#include "intake/payload_host.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct HostCase {
  const char* name;
  std::string payload;
  std::string host;
};

void PrintTo(const HostCase& item, std::ostream* out)
{
  *out << item.name;
}

class PayloadHostTest : public testing::TestWithParam<HostCase> {
};

TEST_P(PayloadHostTest, HostOfPayload)
{
  EXPECT_EQ(hostFromPayload(GetParam().payload), GetParam().host);
}

INSTANTIATE_TEST_SUITE_P(Cases, PayloadHostTest,
    testing::Values(HostCase { "StringHost", R"({"fromhost":"router-1","msg":"link down"})", "router-1" },
        HostCase { "OtherKeysFirst", R"({"a":[1,2,{"b":null}],"fromhost":"sw 2"})", "sw 2" },
        HostCase { "NumericHost", R"({"fromhost":42})", "42" },
        HostCase { "NegativeHost", R"({"fromhost":-7})", "-7" },
        HostCase { "BooleanHost", R"({"fromhost":true})", "true" },
        HostCase { "NullHost", R"({"fromhost":null})", "" },
        HostCase { "EscapedHost", R"({"fromhost":"a\"b\u00e9"})", "a\"b\xc3\xa9" },
        HostCase { "CommentsAllowed", "/* from syslog */ {\"fromhost\":\"c1\" // end\n}", "c1" },
        HostCase { "TruncatedAfterHost", R"({"fromhost":"router-9","message":"trunc)", "router-9" },
        HostCase { "TrailingGarbage", R"({"fromhost":"r"} tail)", "r" },
        HostCase { "NoHostKey", R"({"host":"x"})", "daemonbadhost" },
        HostCase { "EmptyPayload", "", "daemonbadhost" },
        HostCase { "NotJson", "<13>Oct 11 22:14:15 host su: failed", "daemonbadhost" },
        HostCase { "ArrayRoot", R"([{"fromhost":"x"}])", "daemonbadhost" },
        HostCase { "NumberRoot", "12", "daemonbadhost" },
        HostCase { "StringRoot", R"("fromhost")", "daemonbadhost" },
        HostCase { "ObjectHost", R"({"fromhost":{"name":"x"}})", "daemonbadhost" },
        HostCase { "ArrayHost", R"({"fromhost":["x"]})", "daemonbadhost" },
        HostCase { "DeepNestingBeforeHost", std::string(100000, '['), "daemonbadhost" },
        HostCase { "DeepNestingAfterHost", R"({"fromhost":"deep","x":)" + std::string(100000, '['), "deep" },
        HostCase { "BinaryBytes", std::string("\0\xff\xfe{\"fromhost\":\"x\"}", 20), "daemonbadhost" }),
    [](const testing::TestParamInfo<HostCase>& info) { return std::string(info.param.name); });

} // namespace
