// Fuzz target: the reading of the service name a Kerberos ticket carries; what it reads lies within the token.
#include "verify/ticket_name.h"
#include "tests/fuzz/FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const TicketName ticket = ticket_service(Bytes(data, data + size));
    // A name holds the realm after "@" and at least one part before it, each read from the token.
    FUZZ_CHECK(ticket.kind == TicketName::Kind::Named ? ticket.principal.find('@') != std::string::npos &&
                                                            ticket.principal.size() < size
                                                      : ticket.principal.empty());
    return 0;
}
