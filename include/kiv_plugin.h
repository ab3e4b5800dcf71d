/*
 * The host boundary of kiv plugins: plain C records and function tables that
 * cross between a plugin library and the plugin host. Every record is made of
 * 32-bit words, packed fields and plain function pointers; no C++ type, no
 * exception and no text format crosses it.
 *
 * On 32-bit x86 (Linux and Windows) every size and offset below is fixed;
 * the static assertions at the end hold them.
 */
#ifndef KIV_PLUGIN_H
#define KIV_PLUGIN_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define KIV_PLUGIN_EXPORT __declspec(dllexport)
#else
#define KIV_PLUGIN_EXPORT __attribute__((visibility("default")))
#endif
#if defined(__i386__) || defined(_M_IX86)
#define KIV_CDECL __attribute__((cdecl))
#else
#define KIV_CDECL
#endif

/* The plugin programming interface version both sides must agree on. */
#define KIV_PLUGIN_API_MAJOR 18u
#define KIV_PLUGIN_API_MINOR 0u
#define KIV_PLUGIN_API_PATCH 0u

/*
 * The record the host passes to a plugin's load function; the plugin writes
 * it in place. Words 3 to 6 stay valid until the host calls destroy.
 */
typedef struct PluginRegistration {
  uint32_t apiMajor;   /* in: host's plugin API major; out: the plugin's (18) */
  uint32_t apiMinor;   /* in: host's plugin API minor; out: the plugin's (0) */
  uint32_t apiPatch;   /* in: host's plugin API patch; out: the plugin's (0) */
  void* callbacks;     /* out: the plugin's PluginCallbacks table */
  void* handle;        /* out: plugin handle, passed back first to every callback */
  const char* name;    /* out: the plugin's short name, zero-terminated */
  const void* apiTable; /* out: the plugin's API table */
} PluginRegistration;

/* The load function every plugin exports, named load_<short name with '_'>. */
typedef void(KIV_CDECL* PluginLoadFunction)(PluginRegistration* registration);

#define KIV_GAME_CLIENT_CHAT_EXPORT "load_kiv_game_client_chat"

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* KIV_PLUGIN_H */
