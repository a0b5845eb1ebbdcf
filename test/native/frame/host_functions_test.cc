// The run-time binding of Node-API. This test program exports no Node-API
// function, so it stands for a host that lacks every one of them.
#include "frame/host_functions_napi.h"

#include <gtest/gtest.h>
#include <node_api.h>

#include <cstring>
#include <string>
#include <vector>

namespace tov::frame {
namespace {

napi_status fake_get_undefined(napi_env, napi_value* result) {
  *result = reinterpret_cast<napi_value>(0x1234);
  return napi_ok;
}

struct Lookups {
  std::vector<std::string> names;
};

HostAddress offer_get_undefined(const char* name, void* context) {
  static_cast<Lookups*>(context)->names.emplace_back(name);
  if (std::strcmp(name, "napi_get_undefined") == 0) {
    return reinterpret_cast<HostAddress>(&fake_get_undefined);
  }
  return nullptr;
}

HostAddress offer_nothing(const char*, void*) {
  return nullptr;
}

TEST(HostFunctionsDeathTest, AFunctionTheHostLacksAbortsOnlyWhenCalled) {
  // Loading bound nothing, and binding again changes nothing: the process is
  // still running, since no missing function has been called.
  bind_host_functions();
  EXPECT_DEATH(
      {
        napi_value value = nullptr;
        napi_create_object(nullptr, &value);
      },
      "Node-API symbol has not been loaded");
  EXPECT_DEATH(napi_fatal_error("here", 4, "message", 7), "Node-API symbol has not been loaded");
}

TEST(HostFunctionsDeathTest, OfferedFunctionsAreCalledAndMissingOnesKeepTheirStub) {
  Lookups lookups;
  bind_host_functions_from(offer_get_undefined, &lookups);
  // Every known name is asked for once, in table order, ending with libuv's.
  ASSERT_EQ(lookups.names.size(), host_function_count());
  EXPECT_EQ(lookups.names.front(), "napi_get_last_error_info");
  EXPECT_EQ(lookups.names.back(), "uv_run");

  napi_value value = nullptr;
  EXPECT_EQ(napi_get_undefined(nullptr, &value), napi_ok);
  EXPECT_EQ(value, reinterpret_cast<napi_value>(0x1234));
  EXPECT_DEATH(napi_get_null(nullptr, &value), "Node-API symbol has not been loaded");

  // A later binding that finds nothing leaves the bound slot as it was.
  bind_host_functions_from(offer_nothing, nullptr);
  value = nullptr;
  EXPECT_EQ(napi_get_undefined(nullptr, &value), napi_ok);
  EXPECT_EQ(value, reinterpret_cast<napi_value>(0x1234));
}

}  // namespace
}  // namespace tov::frame
