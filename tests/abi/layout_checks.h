/*
 * The host boundary's layout, member by member, checked at compile time in
 * every translation unit that includes this after kiv_plugin.h (one C, one
 * C++). Each member is checked twice: against its offset in the 32-bit x86
 * byte tables, on targets with 4-byte pointers, and against the same
 * position written with the pointer size, on every target, so that 64-bit
 * builds hold the packed order too. Sizes likewise.
 */
#ifndef KIV_TESTS_ABI_LAYOUT_CHECKS_H
#define KIV_TESTS_ABI_LAYOUT_CHECKS_H

#include "kiv_plugin.h"

/* Pointer size, the only thing that differs between targets. */
#define KIV_ABI_P (sizeof(void*))
/* HostValue: the kind word and a payload of the widest of 8 bytes and a
 * pointer with a 32-bit count. */
#define KIV_ABI_VALUE (4 + (KIV_ABI_P + 4 > 8 ? KIV_ABI_P + 4 : 8))
/* HostFunctionRecord: ten pointers, five 32-bit words and one byte. */
#define KIV_ABI_FUNCTION (10 * KIV_ABI_P + 21)

#define KIV_ABI_SIZE(type, size32, size)                    \
  KIV_STATIC_ASSERT(sizeof(type) == (size), #type " size"); \
  KIV_STATIC_ASSERT(sizeof(void*) != 4 || sizeof(type) == (size32), #type " size differs from the 32-bit table")
#define KIV_ABI_AT(type, member, at32, at)                                        \
  KIV_STATIC_ASSERT(offsetof(type, member) == (at), #type "." #member " offset"); \
  KIV_STATIC_ASSERT(sizeof(void*) != 4 || offsetof(type, member) == (at32),       \
                    #type "." #member " offset differs from the 32-bit table")

/* ---- Values */
KIV_ABI_SIZE(HostValue, 12, KIV_ABI_VALUE);
KIV_ABI_AT(HostValue, kind, 0, 0);
KIV_ABI_AT(HostValue, u.boolean, 4, 4);
KIV_ABI_AT(HostValue, u.i64, 4, 4);
KIV_ABI_AT(HostValue, u.u64, 4, 4);
KIV_ABI_AT(HostValue, u.f64, 4, 4);
KIV_ABI_AT(HostValue, u.text.data, 4, 4);
KIV_ABI_AT(HostValue, u.text.length, 8, 4 + KIV_ABI_P);
KIV_ABI_AT(HostValue, u.blob.data, 4, 4);
KIV_ABI_AT(HostValue, u.blob.size, 8, 4 + KIV_ABI_P);
KIV_ABI_AT(HostValue, u.collection.items, 4, 4);
KIV_ABI_AT(HostValue, u.collection.count, 8, 4 + KIV_ABI_P);
KIV_ABI_AT(HostValue, u.structure.entries, 4, 4);
KIV_ABI_AT(HostValue, u.structure.count, 8, 4 + KIV_ABI_P);

KIV_ABI_SIZE(HostStructEntry, 17, KIV_ABI_P + KIV_ABI_VALUE + 1);
KIV_ABI_AT(HostStructEntry, key, 0, 0);
KIV_ABI_AT(HostStructEntry, value, 4, KIV_ABI_P);
KIV_ABI_AT(HostStructEntry, keyOwned, 16, KIV_ABI_P + KIV_ABI_VALUE);

KIV_ABI_SIZE(HostParameterItem, 16, KIV_ABI_P + KIV_ABI_VALUE);
KIV_ABI_AT(HostParameterItem, name, 0, 0);
KIV_ABI_AT(HostParameterItem, value, 4, KIV_ABI_P);

KIV_ABI_SIZE(HostHeader, 8, 2 * KIV_ABI_P);
KIV_ABI_AT(HostHeader, name, 0, 0);
KIV_ABI_AT(HostHeader, value, 4, KIV_ABI_P);

/* ---- Requests and responses */
KIV_ABI_SIZE(HostRequest, 48, 7 * KIV_ABI_P + 20);
KIV_ABI_AT(HostRequest, method, 0, 0);
KIV_ABI_AT(HostRequest, url, 4, 4);
KIV_ABI_AT(HostRequest, items, 8, 4 + KIV_ABI_P);
KIV_ABI_AT(HostRequest, itemCount, 12, 4 + 2 * KIV_ABI_P);
KIV_ABI_AT(HostRequest, endpointContext, 16, 8 + 2 * KIV_ABI_P);
KIV_ABI_AT(HostRequest, headers, 20, 8 + 3 * KIV_ABI_P);
KIV_ABI_AT(HostRequest, headerCount, 24, 8 + 4 * KIV_ABI_P);
KIV_ABI_AT(HostRequest, contentType, 28, 12 + 4 * KIV_ABI_P);
KIV_ABI_AT(HostRequest, body, 32, 12 + 5 * KIV_ABI_P);
KIV_ABI_AT(HostRequest, bodySize, 36, 12 + 6 * KIV_ABI_P);
KIV_ABI_AT(HostRequest, hostToken, 40, 16 + 6 * KIV_ABI_P);
KIV_ABI_AT(HostRequest, methodText, 44, 20 + 6 * KIV_ABI_P);

KIV_ABI_SIZE(HostResponse, 62, KIV_ABI_VALUE + 7 * KIV_ABI_P + 22);
KIV_ABI_AT(HostResponse, body, 0, 0);
KIV_ABI_AT(HostResponse, errorText, 12, KIV_ABI_VALUE);
KIV_ABI_AT(HostResponse, errorFlag, 16, KIV_ABI_VALUE + KIV_ABI_P);
KIV_ABI_AT(HostResponse, flag, 17, KIV_ABI_VALUE + KIV_ABI_P + 1);
KIV_ABI_AT(HostResponse, responseMode, 18, KIV_ABI_VALUE + KIV_ABI_P + 2);
KIV_ABI_AT(HostResponse, status, 22, KIV_ABI_VALUE + KIV_ABI_P + 6);
KIV_ABI_AT(HostResponse, statusText, 26, KIV_ABI_VALUE + KIV_ABI_P + 10);
KIV_ABI_AT(HostResponse, headers, 30, KIV_ABI_VALUE + 2 * KIV_ABI_P + 10);
KIV_ABI_AT(HostResponse, headerCount, 34, KIV_ABI_VALUE + 3 * KIV_ABI_P + 10);
KIV_ABI_AT(HostResponse, streamRead, 38, KIV_ABI_VALUE + 3 * KIV_ABI_P + 14);
KIV_ABI_AT(HostResponse, streamClose, 42, KIV_ABI_VALUE + 4 * KIV_ABI_P + 14);
KIV_ABI_AT(HostResponse, expectedSize, 46, KIV_ABI_VALUE + 5 * KIV_ABI_P + 14);
KIV_ABI_AT(HostResponse, streamContext, 54, KIV_ABI_VALUE + 5 * KIV_ABI_P + 22);
KIV_ABI_AT(HostResponse, release, 58, KIV_ABI_VALUE + 6 * KIV_ABI_P + 22);

/* ---- Events */
KIV_ABI_SIZE(HostEvent, 24, 2 * KIV_ABI_P + KIV_ABI_VALUE + 4);
KIV_ABI_AT(HostEvent, name, 0, 0);
KIV_ABI_AT(HostEvent, payload, 4, KIV_ABI_P);
KIV_ABI_AT(HostEvent, extra, 16, KIV_ABI_P + KIV_ABI_VALUE);
KIV_ABI_AT(HostEvent, context, 20, KIV_ABI_P + KIV_ABI_VALUE + 4);

/* ---- Host services: entry i is the i-th pointer */
KIV_ABI_SIZE(HostServices, 40, 10 * KIV_ABI_P);
KIV_ABI_AT(HostServices, sendRequest, 0, 0);
KIV_ABI_AT(HostServices, reserved1, 4, KIV_ABI_P);
KIV_ABI_AT(HostServices, sendEvent, 8, 2 * KIV_ABI_P);
KIV_ABI_AT(HostServices, subscribe, 12, 3 * KIV_ABI_P);
KIV_ABI_AT(HostServices, unsubscribe, 16, 4 * KIV_ABI_P);
KIV_ABI_AT(HostServices, reserved5, 20, 5 * KIV_ABI_P);
KIV_ABI_AT(HostServices, yield, 24, 6 * KIV_ABI_P);
KIV_ABI_AT(HostServices, beginWait, 28, 7 * KIV_ABI_P);
KIV_ABI_AT(HostServices, endWait, 32, 8 * KIV_ABI_P);
KIV_ABI_AT(HostServices, writeLog, 36, 9 * KIV_ABI_P);

KIV_ABI_SIZE(HostInit, 8, KIV_ABI_P + 4);
KIV_ABI_AT(HostInit, services, 0, 0);
KIV_ABI_AT(HostInit, hostToken, 4, KIV_ABI_P);

/* ---- Plugin callbacks and registration */
KIV_ABI_SIZE(PluginMemoryStats, 56, 56);
KIV_ABI_AT(PluginMemoryStats, peakBytesInUse, 0, 0);
KIV_ABI_AT(PluginMemoryStats, liveAllocationsAtPeak, 8, 8);
KIV_ABI_AT(PluginMemoryStats, bytesAllocated, 16, 16);
KIV_ABI_AT(PluginMemoryStats, allocations, 24, 24);
KIV_ABI_AT(PluginMemoryStats, bytesFreed, 32, 32);
KIV_ABI_AT(PluginMemoryStats, frees, 40, 40);
KIV_ABI_AT(PluginMemoryStats, reserved, 48, 48);

KIV_ABI_SIZE(PluginCallbacks, 12, 3 * KIV_ABI_P);
KIV_ABI_AT(PluginCallbacks, initialize, 0, 0);
KIV_ABI_AT(PluginCallbacks, destroy, 4, KIV_ABI_P);
KIV_ABI_AT(PluginCallbacks, memoryStats, 8, 2 * KIV_ABI_P);

KIV_ABI_SIZE(PluginRegistration, 28, 12 + 4 * KIV_ABI_P);
KIV_ABI_AT(PluginRegistration, apiMajor, 0, 0);
KIV_ABI_AT(PluginRegistration, apiMinor, 4, 4);
KIV_ABI_AT(PluginRegistration, apiPatch, 8, 8);
KIV_ABI_AT(PluginRegistration, callbacks, 12, 12);
KIV_ABI_AT(PluginRegistration, handle, 16, 12 + KIV_ABI_P);
KIV_ABI_AT(PluginRegistration, name, 20, 12 + 2 * KIV_ABI_P);
KIV_ABI_AT(PluginRegistration, apiTable, 24, 12 + 3 * KIV_ABI_P);

/* ---- The API table */
KIV_ABI_SIZE(HostArgumentRecord, 25, 4 * KIV_ABI_P + 9);
KIV_ABI_AT(HostArgumentRecord, next, 0, 0);
KIV_ABI_AT(HostArgumentRecord, name, 4, KIV_ABI_P);
KIV_ABI_AT(HostArgumentRecord, description, 8, 2 * KIV_ABI_P);
KIV_ABI_AT(HostArgumentRecord, typeKind, 12, 3 * KIV_ABI_P);
KIV_ABI_AT(HostArgumentRecord, elementKind, 16, 3 * KIV_ABI_P + 4);
KIV_ABI_AT(HostArgumentRecord, typeName, 20, 3 * KIV_ABI_P + 8);
KIV_ABI_AT(HostArgumentRecord, optional, 24, 4 * KIV_ABI_P + 8);

KIV_ABI_SIZE(HostFunctionRecord, 61, KIV_ABI_FUNCTION);
KIV_ABI_AT(HostFunctionRecord, next, 0, 0);
KIV_ABI_AT(HostFunctionRecord, reserved, 4, KIV_ABI_P);
KIV_ABI_AT(HostFunctionRecord, context, 8, KIV_ABI_P + 4);
KIV_ABI_AT(HostFunctionRecord, name, 12, 2 * KIV_ABI_P + 4);
KIV_ABI_AT(HostFunctionRecord, nameSpace, 16, 3 * KIV_ABI_P + 4);
KIV_ABI_AT(HostFunctionRecord, arguments, 20, 4 * KIV_ABI_P + 4);
KIV_ABI_AT(HostFunctionRecord, argumentCount, 24, 5 * KIV_ABI_P + 4);
KIV_ABI_AT(HostFunctionRecord, returnKind, 28, 5 * KIV_ABI_P + 8);
KIV_ABI_AT(HostFunctionRecord, returnElementKind, 32, 5 * KIV_ABI_P + 12);
KIV_ABI_AT(HostFunctionRecord, returnTypeName, 36, 5 * KIV_ABI_P + 16);
KIV_ABI_AT(HostFunctionRecord, description, 40, 6 * KIV_ABI_P + 16);
KIV_ABI_AT(HostFunctionRecord, help, 44, 7 * KIV_ABI_P + 16);
KIV_ABI_AT(HostFunctionRecord, threadSafe, 48, 8 * KIV_ABI_P + 16);
KIV_ABI_AT(HostFunctionRecord, asyncEventType, 49, 8 * KIV_ABI_P + 17);
KIV_ABI_AT(HostFunctionRecord, tags, 53, 9 * KIV_ABI_P + 17);
KIV_ABI_AT(HostFunctionRecord, tagCount, 57, 10 * KIV_ABI_P + 17);

KIV_ABI_SIZE(HostArgumentLocation, 8, KIV_ABI_P + 4);
KIV_ABI_AT(HostArgumentLocation, next, 0, 0);
KIV_ABI_AT(HostArgumentLocation, location, 4, KIV_ABI_P);

KIV_ABI_SIZE(HostTextList, 12, 2 * KIV_ABI_P + 4);
KIV_ABI_AT(HostTextList, next, 0, 0);
KIV_ABI_AT(HostTextList, texts, 4, KIV_ABI_P);
KIV_ABI_AT(HostTextList, count, 8, 2 * KIV_ABI_P);

KIV_ABI_SIZE(HostEndpointEntry, 90, KIV_ABI_FUNCTION + 5 * KIV_ABI_P + 9);
KIV_ABI_AT(HostEndpointEntry, function, 0, 0);
KIV_ABI_AT(HostEndpointEntry, function.context, 8, KIV_ABI_P + 4);
KIV_ABI_AT(HostEndpointEntry, requestEntry, 61, KIV_ABI_FUNCTION);
KIV_ABI_AT(HostEndpointEntry, locations, 65, KIV_ABI_FUNCTION + KIV_ABI_P);
KIV_ABI_AT(HostEndpointEntry, path, 69, KIV_ABI_FUNCTION + 2 * KIV_ABI_P);
KIV_ABI_AT(HostEndpointEntry, method, 73, KIV_ABI_FUNCTION + 3 * KIV_ABI_P);
KIV_ABI_AT(HostEndpointEntry, flag, 77, KIV_ABI_FUNCTION + 3 * KIV_ABI_P + 4);
KIV_ABI_AT(HostEndpointEntry, textLists, 78, KIV_ABI_FUNCTION + 3 * KIV_ABI_P + 5);
KIV_ABI_AT(HostEndpointEntry, textListCount, 82, KIV_ABI_FUNCTION + 4 * KIV_ABI_P + 5);
KIV_ABI_AT(HostEndpointEntry, methodText, 86, KIV_ABI_FUNCTION + 4 * KIV_ABI_P + 9);

KIV_ABI_SIZE(HostFieldRecord, 29, 4 * KIV_ABI_P + 13);
KIV_ABI_AT(HostFieldRecord, next, 0, 0);
KIV_ABI_AT(HostFieldRecord, name, 4, KIV_ABI_P);
KIV_ABI_AT(HostFieldRecord, description, 8, 2 * KIV_ABI_P);
KIV_ABI_AT(HostFieldRecord, offset, 12, 3 * KIV_ABI_P);
KIV_ABI_AT(HostFieldRecord, typeKind, 16, 3 * KIV_ABI_P + 4);
KIV_ABI_AT(HostFieldRecord, elementKind, 20, 3 * KIV_ABI_P + 8);
KIV_ABI_AT(HostFieldRecord, typeName, 24, 3 * KIV_ABI_P + 12);
KIV_ABI_AT(HostFieldRecord, extra, 28, 4 * KIV_ABI_P + 12);

KIV_ABI_SIZE(HostEnumeratorRecord, 16, 3 * KIV_ABI_P + 4);
KIV_ABI_AT(HostEnumeratorRecord, next, 0, 0);
KIV_ABI_AT(HostEnumeratorRecord, name, 4, KIV_ABI_P);
KIV_ABI_AT(HostEnumeratorRecord, description, 8, 2 * KIV_ABI_P);
KIV_ABI_AT(HostEnumeratorRecord, number, 12, 3 * KIV_ABI_P);

KIV_ABI_SIZE(HostTypeRecord, 40, 7 * KIV_ABI_P + 12);
KIV_ABI_AT(HostTypeRecord, next, 0, 0);
KIV_ABI_AT(HostTypeRecord, name, 4, KIV_ABI_P);
KIV_ABI_AT(HostTypeRecord, nameSpace, 8, 2 * KIV_ABI_P);
KIV_ABI_AT(HostTypeRecord, size, 12, 3 * KIV_ABI_P);
KIV_ABI_AT(HostTypeRecord, description, 16, 3 * KIV_ABI_P + 4);
KIV_ABI_AT(HostTypeRecord, tags, 20, 4 * KIV_ABI_P + 4);
KIV_ABI_AT(HostTypeRecord, tagCount, 24, 5 * KIV_ABI_P + 4);
KIV_ABI_AT(HostTypeRecord, fields, 28, 5 * KIV_ABI_P + 8);
KIV_ABI_AT(HostTypeRecord, enumerators, 32, 6 * KIV_ABI_P + 8);
KIV_ABI_AT(HostTypeRecord, memberCount, 36, 7 * KIV_ABI_P + 8);

KIV_ABI_SIZE(HostEventRecord, 28, 6 * KIV_ABI_P + 4);
KIV_ABI_AT(HostEventRecord, next, 0, 0);
KIV_ABI_AT(HostEventRecord, name, 4, KIV_ABI_P);
KIV_ABI_AT(HostEventRecord, nameSpace, 8, 2 * KIV_ABI_P);
KIV_ABI_AT(HostEventRecord, dataTypeName, 12, 3 * KIV_ABI_P);
KIV_ABI_AT(HostEventRecord, description, 16, 4 * KIV_ABI_P);
KIV_ABI_AT(HostEventRecord, tags, 20, 5 * KIV_ABI_P);
KIV_ABI_AT(HostEventRecord, tagCount, 24, 6 * KIV_ABI_P);

KIV_ABI_SIZE(PluginApiTable, 24, 3 * KIV_ABI_P + 12);
KIV_ABI_AT(PluginApiTable, endpoints, 0, 0);
KIV_ABI_AT(PluginApiTable, endpointCount, 4, KIV_ABI_P);
KIV_ABI_AT(PluginApiTable, types, 8, KIV_ABI_P + 4);
KIV_ABI_AT(PluginApiTable, typeCount, 12, 2 * KIV_ABI_P + 4);
KIV_ABI_AT(PluginApiTable, events, 16, 2 * KIV_ABI_P + 8);
KIV_ABI_AT(PluginApiTable, eventCount, 20, 3 * KIV_ABI_P + 8);

/* ---- Codes that travel in the records: a renumbering breaks every peer */
#define KIV_ABI_CODE(name, value) KIV_STATIC_ASSERT((name) == (value), #name)
KIV_ABI_CODE(KIV_HOST_VALUE_EMPTY, 0);
KIV_ABI_CODE(KIV_HOST_VALUE_BOOL, 1);
KIV_ABI_CODE(KIV_HOST_VALUE_SIGNED, 2);
KIV_ABI_CODE(KIV_HOST_VALUE_UNSIGNED, 3);
KIV_ABI_CODE(KIV_HOST_VALUE_FLOAT, 4);
KIV_ABI_CODE(KIV_HOST_VALUE_STRING, 5);
KIV_ABI_CODE(KIV_HOST_VALUE_OWNED_STRING, 6);
KIV_ABI_CODE(KIV_HOST_VALUE_BLOB, 7);
KIV_ABI_CODE(KIV_HOST_VALUE_OWNED_BLOB, 8);
KIV_ABI_CODE(KIV_HOST_VALUE_COLLECTION, 9);
KIV_ABI_CODE(KIV_HOST_VALUE_STRUCTURE, 10);
KIV_ABI_CODE(KIV_METHOD_ANY, 0);
KIV_ABI_CODE(KIV_METHOD_DELETE, 1);
KIV_ABI_CODE(KIV_METHOD_GET, 2);
KIV_ABI_CODE(KIV_METHOD_HEAD, 3);
KIV_ABI_CODE(KIV_METHOD_OPTIONS, 4);
KIV_ABI_CODE(KIV_METHOD_PATCH, 5);
KIV_ABI_CODE(KIV_METHOD_POST, 6);
KIV_ABI_CODE(KIV_METHOD_PUT, 7);
KIV_ABI_CODE(KIV_METHOD_OTHER, 8);
KIV_ABI_CODE(KIV_TYPE_NONE, 0);
KIV_ABI_CODE(KIV_TYPE_BOOL, 1);
KIV_ABI_CODE(KIV_TYPE_INT8, 2);
KIV_ABI_CODE(KIV_TYPE_UINT8, 3);
KIV_ABI_CODE(KIV_TYPE_INT16, 4);
KIV_ABI_CODE(KIV_TYPE_UINT16, 5);
KIV_ABI_CODE(KIV_TYPE_INT32, 6);
KIV_ABI_CODE(KIV_TYPE_UINT32, 7);
KIV_ABI_CODE(KIV_TYPE_INT64, 8);
KIV_ABI_CODE(KIV_TYPE_UINT64, 9);
KIV_ABI_CODE(KIV_TYPE_FLOAT, 10);
KIV_ABI_CODE(KIV_TYPE_DOUBLE, 11);
KIV_ABI_CODE(KIV_TYPE_STRING, 12);
KIV_ABI_CODE(KIV_TYPE_OBJECT, 13);
KIV_ABI_CODE(KIV_TYPE_BLOB, 14);
KIV_ABI_CODE(KIV_TYPE_VECTOR, 15);
KIV_ABI_CODE(KIV_TYPE_ENUM, 16);
KIV_ABI_CODE(KIV_TYPE_STRUCT, 17);
KIV_ABI_CODE(KIV_TYPE_CALLBACK, 18);
KIV_ABI_CODE(KIV_TYPE_MAP, 19);
KIV_ABI_CODE(KIV_LOCATION_ANY, 0);
KIV_ABI_CODE(KIV_LOCATION_QUERY, 1);
KIV_ABI_CODE(KIV_LOCATION_PATH, 2);
KIV_ABI_CODE(KIV_LOCATION_HEADER, 4);
KIV_ABI_CODE(KIV_LOCATION_BODY, 5);
KIV_ABI_CODE(KIV_SUBSCRIBE_RESOURCE_EVENTS, 0);
KIV_ABI_CODE(KIV_SUBSCRIBE_SERVICE_PROXY_EVENTS, 1);
KIV_ABI_CODE(KIV_HOST_LOG_OKAY, 0);
KIV_ABI_CODE(KIV_HOST_LOG_WARN, 1);
KIV_ABI_CODE(KIV_HOST_LOG_ERROR, 2);
KIV_ABI_CODE(KIV_HOST_LOG_ALWAYS, 3);
KIV_ABI_CODE(KIV_RESPONSE_MODE_LAST, 3);

/* ---- Version: 18.0.0, and the rule a plugin applies to its host's */
KIV_ABI_CODE(KIV_PLUGIN_API_MAJOR, 18);
KIV_ABI_CODE(KIV_PLUGIN_API_MINOR, 0);
KIV_ABI_CODE(KIV_PLUGIN_API_PATCH, 0);
#if defined(__cplusplus)
static_assert(KivPluginApiHostCompatible(18, 0, 0), "the same version");
static_assert(KivPluginApiHostCompatible(18, 5, 3), "a later minor");
static_assert(!KivPluginApiHostCompatible(17, 9, 9), "an earlier major");
static_assert(!KivPluginApiHostCompatible(19, 0, 0), "a later major");
static_assert(!KivPluginApiCompatible(18, 2, 3, 18, 2, 2), "an earlier patch");
static_assert(KivPluginApiCompatible(18, 2, 3, 18, 2, 3), "the same patch");
static_assert(KivPluginApiCompatible(18, 2, 3, 18, 3, 0), "a later minor with a lower patch");
static_assert(!KivPluginApiCompatible(18, 2, 3, 18, 1, 9), "an earlier minor with a higher patch");
#endif

#endif /* KIV_TESTS_ABI_LAYOUT_CHECKS_H */
