// The accounts file: who may log on, with a password or an NT hash per account.
#include "verify/accounts.h"
#include "common/text.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::string_view kHashPrefix = "nthash:";

std::string lookup_key(std::string_view domain, std::string_view user) {
  std::u16string wide_domain;
  std::u16string wide_user;
  if (!utf8_to_utf16(domain, &wide_domain)) wide_domain = latin1_to_utf16(domain);
  if (!utf8_to_utf16(user, &wide_user)) wide_user = latin1_to_utf16(user);
  return utf16_to_utf8(unicode_upper(wide_domain)) + '\\' + utf16_to_utf8(unicode_upper(wide_user));
}

bool parse_hex_hash(std::string_view text, Digest16* out) {
  if (text.size() != 32) return false;
  for (std::size_t i = 0; i < 16; ++i) {
    const int high = hex_value(text[2 * i]);
    const int low = hex_value(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    (*out)[i] = static_cast<std::uint8_t>(high * 16 + low);
  }
  return true;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// Blanks alone are as easy to guess as no password at all.
bool is_blank(std::string_view password) { return password.find_first_not_of(" \t") == std::string_view::npos; }

// "SID=DOMAIN\Name, SID": what the brackets after a name hold. A SID is "S-1-" and more; a
// name may hold neither a comma nor an equals sign, as the directory's names may not.
bool parse_groups(std::string_view list, Account* out, std::string* error) {
  while (!list.empty()) {
    const std::size_t comma = list.find(',');
    const std::string_view item = trim(list.substr(0, comma));
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
    const std::size_t equals = item.find('=');
    const std::string_view sid = trim(item.substr(0, equals));
    const bool well_formed = sid.size() > 4 && sid.substr(0, 4) == "S-1-" &&
                             sid.find_first_not_of("S0123456789-") == std::string_view::npos;
    if (!well_formed) {
      *error = "a group is \"SID\" or \"SID=DOMAIN\\Name\", its SID S-1-...";
      return false;
    }
    out->group_sids.emplace_back(sid);
    out->group_names.emplace_back(equals == std::string_view::npos ? "" : trim(item.substr(equals + 1)));
  }
  return true;
}

// The name part of a line: the account's name, then perhaps its groups in brackets (which no
// Windows user name holds).
bool parse_name(std::string_view name, Account* out, std::string* error) {
  const std::size_t open = name.find('[');
  if (open != std::string_view::npos) {
    if (name.back() != ']') {
      *error = "groups go in brackets after the name: DOMAIN\\user [SID=DOMAIN\\Group, SID]";
      return false;
    }
    if (!parse_groups(name.substr(open + 1, name.size() - open - 2), out, error)) return false;
    name = trim(name.substr(0, open));
  }
  const std::size_t backslash = name.find('\\');
  out->domain = backslash == std::string_view::npos ? "" : std::string(name.substr(0, backslash));
  out->user = std::string(backslash == std::string_view::npos ? name : name.substr(backslash + 1));
  return true;
}

// One non-comment line; the password is everything after the first ':' and is
// taken verbatim (blanks included), so only the name part is trimmed.
bool parse_line(std::string_view line, Account* out, std::string* error) {
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos) {
    *error = "expected DOMAIN\\user:password or DOMAIN\\user:nthash:<32 hex digits>";
    return false;
  }
  const std::string_view secret = line.substr(colon + 1);
  if (!parse_name(trim(line.substr(0, colon)), out, error)) return false;
  std::u16string unused;
  if (out->user.empty() || !utf8_to_utf16(out->user, &unused) || !utf8_to_utf16(out->domain, &unused)) {
    *error = "the user name is empty or not UTF-8";
    return false;
  }
  if (secret.substr(0, kHashPrefix.size()) == kHashPrefix) {
    if (!parse_hex_hash(secret.substr(kHashPrefix.size()), &out->nt_hash)) {
      *error = "an NT hash must be exactly 32 hexadecimal digits";
      return false;
    }
    return true;
  }
  std::u16string password;
  if (!utf8_to_utf16(secret, &password)) {
    *error = "the password is not UTF-8";
    return false;
  }
  out->nt_hash = nt_hash(password);
  return true;
}

bool read_whole_file(const std::string& path, std::string* content, std::string* error) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    *error = std::strerror(errno);
    return false;
  }
  char buffer[4096];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) content->append(buffer, n);
  const bool failed = std::ferror(file) != 0;
  const int saved_errno = errno;
  std::fclose(file);
  if (failed) *error = std::strerror(saved_errno);
  return !failed;
}

}  // namespace

bool Accounts::add(Account account, std::string* error) {
  const std::string key = lookup_key(account.domain, account.user);
  if (index_.count(key) != 0) {
    *error = "account " + account.domain + "\\" + account.user + " is listed twice";
    return false;
  }
  index_.emplace(key, accounts_.size());
  accounts_.push_back(std::move(account));
  return true;
}

Failure Accounts::parse(std::string_view text, Accounts* out, bool allow_empty_passwords) {
  const Digest16 empty_password = nt_hash(u"");
  *out = Accounts();
  std::size_t line_number = 0;
  while (!text.empty()) {
    ++line_number;
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::string_view content = trim(line);
    if (content.empty() || content.front() == '#') continue;
    Account account;
    std::string why;
    const bool parsed = parse_line(line, &account, &why);
    const std::string_view password = line.substr(line.find(':') + 1);
    const char* weakness = account.nt_hash == empty_password ? "an empty password"
                           : is_blank(password)              ? "a password of only blanks"
                                                             : nullptr;
    if (parsed && !allow_empty_passwords && weakness != nullptr)
      why = "account " + (account.domain.empty() ? "" : account.domain + "\\") + account.user + " has " + weakness +
            ", which anyone could guess (refused unless --allow-empty-password)";
    if (!parsed || !why.empty() || !out->add(std::move(account), &why)) {
      *out = Accounts();
      return Failure::refused(why, "line " + std::to_string(line_number));
    }
  }
  return Failure();
}

Failure Accounts::load(const std::string& path, Accounts* out, bool allow_empty_passwords) {
  std::string content;
  std::string why;
  if (!read_whole_file(path, &content, &why)) {
    *out = Accounts();
    return Failure::internal(why, "cannot read accounts file " + path);
  }
  Failure refused = parse(content, out, allow_empty_passwords);
  if (!refused.ok()) refused.subject = "accounts file " + path + ", " + refused.subject;
  return refused;
}

const Account* Accounts::find(std::string_view domain, std::string_view user) const {
  const auto it = index_.find(lookup_key(domain, user));
  return it == index_.end() ? nullptr : &accounts_[it->second];
}

AccountsVerifier::AccountsVerifier(Accounts accounts)
    : accounts_(std::make_shared<const Accounts>(std::move(accounts))) {}

void AccountsVerifier::replace(Accounts accounts) {
  auto fresh = std::make_shared<const Accounts>(std::move(accounts));
  std::lock_guard<std::mutex> lock(mutex_);
  accounts_.swap(fresh);
}  // the old set goes here, or with the last verification still using it

std::shared_ptr<const Accounts> AccountsVerifier::current() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return accounts_;
}

NtlmVerdict AccountsVerifier::verify(const NtlmAnswer& answer) {
  const std::shared_ptr<const Accounts> accounts = current();
  const std::string who = utf16_to_utf8(answer.domain) + "\\" + utf16_to_utf8(answer.user);
  NtlmVerdict verdict;
  const Account* account = accounts->find(utf16_to_utf8(answer.domain), utf16_to_utf8(answer.user));
  if (account == nullptr) {
    verdict.failure = Failure::refused("unknown user " + who);
    verdict.counts_as_failure = false;  // there is no password to find
    return verdict;
  }
  const Bytes blob(answer.nt_response.begin() + 16, answer.nt_response.end());
  const Digest16 response_key = ntowf_v2(account->nt_hash, answer.user, answer.domain);
  const Digest16 proof = ntlmv2_proof(response_key, answer.challenge, blob);
  if (!constant_time_equal(proof.data(), answer.nt_response.data(), 16)) {
    verdict.failure = Failure::refused("wrong password for " + who);
    return verdict;
  }
  verdict.failure = Failure();
  verdict.who = VerifiedUser{account->user, account->domain, account->group_sids};
  verdict.session_base_key = hmac_md5(response_key, Bytes(proof.begin(), proof.end()));
  return verdict;
}

std::string AccountsVerifier::target_domain() {
  const std::shared_ptr<const Accounts> accounts = current();
  std::u16string domain;
  if (!accounts->all().empty()) utf8_to_utf16(accounts->all().front().domain, &domain);
  return domain.empty() ? "WORKGROUP" : utf16_to_utf8(unicode_upper(domain));
}

std::vector<std::string> AccountsVerifier::group_names(const std::vector<std::string>& sids) {
  const std::shared_ptr<const Accounts> accounts = current();
  std::vector<std::string> out(sids.size());
  for (const Account& account : accounts->all()) {
    for (std::size_t g = 0; g < account.group_sids.size(); ++g) {
      for (std::size_t i = 0; i < sids.size(); ++i) {
        if (out[i].empty() && equal_ignoring_case(account.group_sids[g], sids[i])) out[i] = account.group_names[g];
      }
    }
  }
  return out;
}

Failure AccountsVerifier::group_sid(const std::string& name, std::string* sid) {
  const std::string qualified = name.find('\\') == std::string::npos ? target_domain() + "\\" + name : name;
  const std::shared_ptr<const Accounts> accounts = current();
  for (const Account& account : accounts->all()) {
    for (std::size_t i = 0; i < account.group_names.size(); ++i) {
      if (!equal_ignoring_case(account.group_names[i], qualified)) continue;
      *sid = account.group_sids[i];
      return Failure();
    }
  }
  return Failure::refused("the accounts file names no group " + qualified);
}
