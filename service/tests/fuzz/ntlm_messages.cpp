// Fuzz target: the NTLM message parsers; a message that parses must read the same after being built again.
#include "ntlm/ntlm_messages.h"
#include "tests/fuzz/FuzzInput.h"

using namespace ntlm;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Bytes message(data, data + size);
    std::string why;
    std::vector<AvPair> pairs;
    if (parse_av_pairs(data, size, &pairs, &why))
        FUZZ_CHECK(encode_av_pairs(pairs).size() <= size);
    NegotiateMessage negotiate;
    parse_negotiate(message, &negotiate, &why);
    ChallengeMessage challenge, challengeAgain;
    if (parse_challenge(message, &challenge, &why))
        FUZZ_CHECK(parse_challenge(build_challenge(challenge), &challengeAgain, &why) &&
                   challengeAgain.target_name == challenge.target_name &&
                   challengeAgain.target_info == challenge.target_info);
    AuthenticateMessage authenticate, authenticateAgain;
    if (parse_authenticate(message, &authenticate, &why))
        FUZZ_CHECK(parse_authenticate(build_authenticate(authenticate), &authenticateAgain, &why) &&
                   authenticateAgain.user == authenticate.user && authenticateAgain.domain == authenticate.domain &&
                   authenticateAgain.nt_response == authenticate.nt_response && authenticateAgain.mic == authenticate.mic);
    return 0;
}
