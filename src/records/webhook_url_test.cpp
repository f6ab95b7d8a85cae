#include "records/webhook_url.h"

#include <gtest/gtest.h>

namespace quillon::records {
namespace {

struct UrlCase {
  const char* name;
  const char* url;
  const char* host_port;  ///< nullptr: refused
  const char* target = "/";
  bool warned = false;
  const char* shown = nullptr;
};

class WebhookUrlTest : public ::testing::TestWithParam<UrlCase> {};

// What is taken, what is refused, and what is taken with a warning (plain HTTP, private only).
TEST_P(WebhookUrlTest, IsReadAsAFactoryWouldWriteIt) {
  const auto& c = GetParam();
  std::string warning, error;
  const auto url = ReadWebhookUrl(c.url, warning, error);
  if (c.host_port == nullptr) {
    EXPECT_FALSE(url);
    EXPECT_FALSE(error.empty());
    return;
  }
  ASSERT_TRUE(url) << error;
  EXPECT_EQ(url->host_port, c.host_port);
  EXPECT_EQ(url->target, c.target);
  EXPECT_EQ(!warning.empty(), c.warned) << warning;
  if (c.shown != nullptr) {
    EXPECT_EQ(url->Shown(), c.shown);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Urls, WebhookUrlTest,
    ::testing::Values(
        UrlCase{"Https", "https://mes.example.com/api/units?token=x", "mes.example.com:443", "/api/units?token=x", false,
                "https://mes.example.com:443/api/units"},
        UrlCase{"HttpsPort", "HTTPS://mes.example.com:8443", "mes.example.com:8443"},
        UrlCase{"HttpsIpv6", "https://[2001:db8::1]:9/u", "[2001:db8::1]:9", "/u"},
        UrlCase{"HttpLoopback", "http://127.0.0.1:8080/u", "127.0.0.1:8080", "/u", true},
        UrlCase{"HttpTen", "http://10.1.2.3/u", "10.1.2.3:80", "/u", true},
        UrlCase{"Http172", "http://172.31.255.1/u", "172.31.255.1:80", "/u", true},
        UrlCase{"HttpNot172", "http://172.32.0.1/u", nullptr},
        UrlCase{"Http192", "http://192.168.0.9/u", "192.168.0.9:80", "/u", true},
        UrlCase{"HttpPublic", "http://8.8.8.8/u", nullptr},
        UrlCase{"HttpPublicName", "http://mes.example.com/u", nullptr},
        UrlCase{"HttpIntranetName", "http://mes/u", "mes:80", "/u", true},
        UrlCase{"HttpLanName", "http://mes.factory.lan/u", "mes.factory.lan:80", "/u", true},
        UrlCase{"HttpIpv6Local", "http://[fd00::5]:81/u", "[fd00::5]:81", "/u", true},
        UrlCase{"HttpIpv6Loopback", "http://[::1]/u", "[::1]:80", "/u", true},
        UrlCase{"HttpIpv6Public", "http://[2001:db8::1]/u", nullptr},
        UrlCase{"QueryOnly", "https://h?x=1", "h:443", "/?x=1"},
        UrlCase{"Fragment", "https://h/u#part", "h:443", "/u"},
        UrlCase{"Password", "https://user:secret@h/u", nullptr},
        UrlCase{"Ftp", "ftp://h/u", nullptr},
        UrlCase{"NoScheme", "h/u", nullptr},
        UrlCase{"NoHost", "https:///u", nullptr},
        UrlCase{"BadPort", "https://h:99999/u", nullptr},
        UrlCase{"LetterPort", "https://h:8o/u", nullptr},
        UrlCase{"Space", "https://h/a b", nullptr},
        UrlCase{"BadAddress", "http://300.1.1.1/u", nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

// A header's name must be a token and nothing may break a line; the value never appears in
// an error.
TEST(WebhookHeaderTest, IsANameAndAValueOnOneLine) {
  std::string error;
  const auto token = ReadHeader("Authorization:  Bearer abc ", error);
  ASSERT_TRUE(token);
  EXPECT_EQ(token->first, "Authorization");
  EXPECT_EQ(token->second, "Bearer abc");
  for (const char* bad : {"NoColon", ": value", "Bad Name: v", "X-Token: a\r\nHost: evil"}) {
    error.clear();
    EXPECT_FALSE(ReadHeader(bad, error)) << bad;
    EXPECT_EQ(error.find("evil"), std::string::npos);
  }
}

}  // namespace
}  // namespace quillon::records
