// SPNEGO tokens as a browser or WinHTTP makes them, for the benchmark's clients and loops.
#include "spnego_token.h"

#include <gssapi/gssapi.h>

namespace {
gss_OID_desc spnego{6, const_cast<char*>("\x2b\x06\x01\x05\x05\x02")};
}  // namespace

std::string spnego_token(const std::string& host) {
  const std::string service = "HTTP@" + host;
  gss_buffer_desc service_name{service.size(), const_cast<char*>(service.data())};
  OM_uint32 minor = 0;
  gss_name_t name = GSS_C_NO_NAME;
  if (GSS_ERROR(gss_import_name(&minor, &service_name, GSS_C_NT_HOSTBASED_SERVICE, &name))) return "";
  gss_ctx_id_t context = GSS_C_NO_CONTEXT;
  gss_buffer_desc output{0, nullptr};
  const OM_uint32 major = gss_init_sec_context(&minor, GSS_C_NO_CREDENTIAL, &context, name, &spnego, GSS_C_MUTUAL_FLAG,
                                               0, GSS_C_NO_CHANNEL_BINDINGS, GSS_C_NO_BUFFER, nullptr, &output,
                                               nullptr, nullptr);
  std::string token;
  if (!GSS_ERROR(major) && output.length > 0) token.assign(static_cast<const char*>(output.value), output.length);
  gss_release_buffer(&minor, &output);
  gss_delete_sec_context(&minor, &context, GSS_C_NO_BUFFER);
  gss_release_name(&minor, &name);
  return token;
}
