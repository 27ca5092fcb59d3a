// Request decoding tests: query percent-decoding, the agent's parameters, the accounts file, log JSON.
#include <gtest/gtest.h>

#include "verify/accounts.h"
#include "common/json.h"
#include "common/networks.h"
#include "verify/kerberos.h"
#include "http/query.h"
#include "requests/logon_request.h"
#include "requests/request_record.h"

namespace {

std::string describe(const std::vector<QueryParam>& params) {
  std::string out;
  for (const QueryParam& p : params) out += "[" + p.name + "=" + p.value + "]";
  return out;
}

TEST(Query, TargetsAreSplitAndDecoded) {
  struct Case {
    std::string target;
    std::string path;
    std::string params;  // as describe() prints them, or the error
  };
  const Case cases[] = {
      {"/tarnwise?hostname=a%26b%23c%25d%2be%3Df%3Fg%20h%09", "/tarnwise", "[hostname=a&b#c%d+e=f?g h\t]"},
      {"/x?a=1+2", "/x", "[a=1+2]"},  // '+' is a plus sign, the agent encodes blanks
      {"/x?ip=&&flag", "/x", "[ip=][flag=]"},
      {"/x?h=caf%C3%A9", "/x", "[h=caf\xC3\xA9]"},
      {"/x", "/x", ""},
      {"/x?", "/x", ""},
      {"/x?a=%4", "", "bad percent escape in query: \"%4\""},
      {"/x?a=b%", "", "bad percent escape in query: \"%\""},
      {"/x?a=%00", "", "encoded NUL character in query"},
  };
  for (const Case& c : cases) {
    std::string path;
    std::vector<QueryParam> params;
    std::string error;
    if (split_target(c.target, &path, &params, &error)) {
      EXPECT_EQ(path, c.path) << c.target;
      EXPECT_EQ(describe(params), c.params) << c.target;
    } else {
      EXPECT_EQ(error, c.params) << c.target;
    }
  }
}

TEST(Query, AgentParametersAreChecked) {
  const std::string full =
      "action=login&hostname=PC1&persistent=1&domain=D1&domain=D2&ntlm_sess_sec=1&ip=10.0.0.1,192.168.1.20";
  struct Case {
    std::string query;
    std::string error;  // empty: accepted
  };
  const Case cases[] = {
      {full, ""},
      {"action=login&hostname=PC1&extra=ignored", ""},
      {"action=login&ip=", "missing parameter \"hostname\""},
      {"action=login&hostname=&ip=", "missing parameter \"hostname\""},
      {"action=LOGIN&hostname=PC1", "action must be login or logout, not \"LOGIN\""},
      {"action=login&action=logout&hostname=PC1", "parameter \"action\" given twice"},
      {"action=login&hostname=PC1&persistent=2", "persistent must be 0 or 1, not \"2\""},
      {"action=login&hostname=PC1&ip=1.2.3", "ip is not a comma-separated list of IPv4 addresses: \"1.2.3\""},
      {"action=login&hostname=PC1&ip=1.2.3.4,", "ip is not a comma-separated list of IPv4 addresses: \"1.2.3.4,\""},
      {"action=login&hostname=PC1&ip=256.0.0.1", "ip is not a comma-separated list of IPv4 addresses: \"256.0.0.1\""},
      {"action=login&hostname=PC1&ip=10.0.0.1,010.000.000.078",
       "ip holds \"010.000.000.078\", an IPv4 address with leading zeros, which some read as octal; write it without them"},
      {"action=login&hostname=PC1&ip=1.2.3.4&ip=5.6.7.8", "parameter \"ip\" given twice"},
  };
  for (const Case& c : cases) {
    std::string path;
    std::vector<QueryParam> params;
    std::string error;
    ASSERT_TRUE(split_target("/tarnwise?" + c.query, &path, &params, &error));
    LogonRequest request;
    EXPECT_EQ(read_logon_request(params, &request, &error), c.error.empty()) << c.query;
    EXPECT_EQ(c.error.empty() ? "" : error, c.error) << c.query;
    if (c.query != full) continue;
    EXPECT_EQ(request.action, LogonAction::Login);
    EXPECT_EQ(request.hostname, "PC1");
    EXPECT_TRUE(request.persistent && request.session_security);
    EXPECT_EQ(request.domains, (std::vector<std::string>{"D1", "D2"}));
    EXPECT_EQ(request.ips, (std::vector<std::string>{"10.0.0.1", "192.168.1.20"}));
  }
}

TEST(Accounts, FileFormat) {
  struct Case {
    std::string text;
    std::size_t count;
    std::string error;
  };
  const Case cases[] = {
      {"# comment\n\nPELLAMOR\\alice:secret\r\n  # indented comment\nbob:pw\n", 2, ""},
      {"D\\u:nthash:a4f49c40\n", 0, "line 1: an NT hash must be exactly 32 hexadecimal digits"},
      {"D\\alice:x\nd\\ALICE:y\n", 0, "line 2: account d\\ALICE is listed twice"},
      {"\nD\\alice\n", 0, "line 2: expected DOMAIN\\user:password or DOMAIN\\user:nthash:<32 hex digits>"},
      {"D\\:pw\n", 0, "line 1: the user name is empty or not UTF-8"},
      {"D\\u:x\nD\\v:nthash:31d6cfe0d16ae931b73c59d7e0c089c0\n", 0,
       "line 2: account D\\v has an empty password, which anyone could guess (refused unless --allow-empty-password)"},
      {"D\\u:x\nD\\v: \t\n", 0,
       "line 2: account D\\v has a password of only blanks, which anyone could guess (refused unless "
       "--allow-empty-password)"},
  };
  for (const Case& c : cases) {
    Accounts accounts;
    const Failure refused = Accounts::parse(c.text, &accounts);
    EXPECT_EQ(refused.ok(), c.error.empty()) << c.text;
    EXPECT_EQ(refused.message(), c.error) << c.text;
    EXPECT_EQ(accounts.all().size(), c.count) << c.text;
  }
  // Passwords are taken verbatim: colons and blanks belong to them.
  Accounts accounts;
  ASSERT_TRUE(Accounts::parse(" Dom\\Zoë :pa:ss \nDom\\h:nthash:A4F49C406510BDCAB6824EE7C30FD852", &accounts).ok());
  const Account* zoe = accounts.find("DOM", "ZOË");
  ASSERT_NE(zoe, nullptr);
  EXPECT_EQ(zoe->user, "Zoë");
  EXPECT_EQ(zoe->nt_hash, nt_hash(u"pa:ss "));
  EXPECT_EQ(accounts.find("dom", "h")->nt_hash, nt_hash(u"Password"));
  EXPECT_EQ(accounts.find("", "h"), nullptr);
}

// Only a client of the service principal's own realm passes without a PAC (a trust's
// realm cannot be provisioned in the tests' domain), and by its whole principal.
TEST(Kerberos, TicketsWithoutPacAreTheServiceRealmsOnly) {
  struct Case {
    std::string client, service, user;  // user empty: refused
  };
  const Case cases[] = {
      {"alice@EXAMPLE.COM", "HTTP/web.example.com@EXAMPLE.COM", "alice@EXAMPLE.COM"},
      {"alice@OTHER.EXAMPLE", "HTTP/web.example.com@EXAMPLE.COM", ""},
      {"alice@example.com", "HTTP/web.example.com@EXAMPLE.COM", ""},  // realms are case-sensitive
      {"alice", "HTTP/web.example.com", ""},
  };
  for (const Case& c : cases) {
    VerifiedUser who;
    const Failure failure = user_without_pac(c.client, c.service, &who);
    const std::string& why = failure.why;
    EXPECT_EQ(failure.ok(), !c.user.empty()) << c.client;
    EXPECT_EQ(who.user, c.user) << c.client;
    EXPECT_EQ(who.domain, "") << c.client;
    if (c.user.empty()) {
      EXPECT_NE(why.find(c.client + " carries no PAC"), std::string::npos) << why;
    }
  }
}

TEST(RequestLog, RepeatedParametersAndOddBytesGiveValidJson) {
  const std::vector<QueryParam> params = {{"domain", "A"}, {"ip", ""}, {"domain", "B\"\x01"}, {"host", "caf\xE9"}};
  EXPECT_EQ(params_json(params), "{\"domain\":[\"A\",\"B\\\"\\u0001\"],\"ip\":\"\",\"host\":\"caf\xC3\xA9\"}");
}

// The options that name trusted peers (--status-allow, --trusted-relay): which peers they admit.
TEST(Networks, ListsAdmitTheirPeersOnly) {
  struct Case {
    std::string networks;
    std::string in;   // comma-separated peers inside
    std::string out;  // and outside
  };
  const Case cases[] = {
      {"10.0.0.0/8", "10.0.0.1,10.255.255.255,::ffff:10.1.2.3", "11.0.0.0,9.255.255.255,::a00:1"},
      {"192.0.2.7,fd00::/8", "192.0.2.7,fd12::1", "192.0.2.8,fe00::1,192.0.2.77"},
      {"0.0.0.0/0", "1.2.3.4,::ffff:8.8.8.8", "::1"},
      {"::ffff:192.0.2.0/120,2001:db8::/32", "192.0.2.9,2001:db8:ffff::1", "192.0.3.9,2001:db9::"},
  };
  auto each = [](const std::string& list) {
    std::vector<std::string> items;
    for (std::size_t start = 0; start <= list.size();) {
      const std::size_t comma = std::min(list.find(',', start), list.size());
      items.push_back(list.substr(start, comma - start));
      start = comma + 1;
    }
    return items;
  };
  for (const Case& c : cases) {
    NetworkList list;
    std::string error;
    ASSERT_TRUE(list.add(c.networks, &error)) << c.networks << ": " << error;
    for (const std::string& peer : each(c.in)) EXPECT_TRUE(list.contains(peer)) << c.networks << " " << peer;
    for (const std::string& peer : each(c.out)) EXPECT_FALSE(list.contains(peer)) << c.networks << " " << peer;
  }
  for (const std::string bad : {"", "10.0.0.0/8,", "10.0.0.5/8", "010.0.0.0/8", "10.0.0.0/33", "10.0.0.0/",
                                "fd00::1/8", "::ffff:10.0.0.0/95", "host.example", "10.0.0.0/+8"}) {
    NetworkList list;
    std::string error;
    EXPECT_FALSE(list.add(bad, &error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
  EXPECT_TRUE(loopback_networks().contains("127.9.9.9") && loopback_networks().contains("::1"));
  EXPECT_FALSE(loopback_networks().contains("::2") || loopback_networks().contains("128.0.0.1"));
}

}  // namespace
