/*
 * kiv_plugin.h - the host boundary of kiv plugins.
 *
 * A plugin is a shared library with one export, load_<short name>, taking a
 * PluginRegistration. Everything that crosses between the plugin and its host
 * afterwards is declared here: plain C records of 32-bit words, packed
 * records and plain function pointers. No C++ type, no exception and no text
 * format crosses the boundary; values travel as HostValue records.
 *
 * Layout: every record is packed (no padding). On 32-bit x86, Linux and
 * Windows alike, each size and offset is fixed; the static assertions at the
 * end of this file hold them. All function pointers use the C calling
 * convention (cdecl on 32-bit x86).
 *
 * Ownership: a record's texts and arrays belong to the side that filled it.
 * The answering side of a request sets HostResponse.release, and the asking
 * side calls it exactly once when done with the response.
 */
#ifndef KIV_PLUGIN_H
#define KIV_PLUGIN_H

#include <stddef.h>
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

/* The plugin programming interface version this header describes. */
#define KIV_PLUGIN_API_MAJOR 18u
#define KIV_PLUGIN_API_MINOR 0u
#define KIV_PLUGIN_API_PATCH 0u

/* Export of the chat plugin; every plugin exports load_<short name, '-' -> '_'>. */
#define KIV_GAME_CLIENT_CHAT_EXPORT "load_kiv_game_client_chat"

#pragma pack(push, 1)

/* ---- Values ------------------------------------------------------------ */

/* HostValue.kind codes. */
enum {
  KIV_HOST_VALUE_EMPTY = 0,
  KIV_HOST_VALUE_BOOL = 1,
  KIV_HOST_VALUE_SIGNED = 2,
  KIV_HOST_VALUE_UNSIGNED = 3,
  KIV_HOST_VALUE_FLOAT = 4,
  KIV_HOST_VALUE_STRING = 5,       /* text not owned by the record */
  KIV_HOST_VALUE_OWNED_STRING = 6, /* text owned: freed on release */
  KIV_HOST_VALUE_BLOB = 7,         /* bytes not owned */
  KIV_HOST_VALUE_OWNED_BLOB = 8,   /* bytes owned */
  KIV_HOST_VALUE_COLLECTION = 9,   /* owned array of HostValue */
  KIV_HOST_VALUE_STRUCTURE = 10    /* owned array of HostStructEntry */
};

struct HostStructEntry;

/* One value: a kind code and 8 bytes of payload (12 bytes on 32-bit x86). */
typedef struct HostValue {
  uint32_t kind; /* KIV_HOST_VALUE_* */
  union {
    uint8_t boolean;  /* kind 1: 0 or 1 */
    int64_t i64;      /* kind 2 */
    uint64_t u64;     /* kind 3 */
    double f64;       /* kind 4 */
    struct {
      const char* data; /* kinds 5, 6: text, need not be zero-terminated */
      uint32_t length;  /* its length in bytes */
    } text;
    struct {
      const uint8_t* data; /* kinds 7, 8: bytes */
      uint32_t size;       /* their count */
    } blob;
    struct {
      struct HostValue* items; /* kind 9: elements in order */
      uint32_t count;          /* their count */
    } collection;
    struct {
      struct HostStructEntry* entries; /* kind 10: members in key order */
      uint32_t count;                  /* their count */
    } structure;
  } u;
} HostValue;

/* One member of a structure value (17 bytes on 32-bit x86). */
typedef struct HostStructEntry {
  const char* key;  /* member name, zero-terminated */
  HostValue value;  /* member value */
  uint8_t keyOwned; /* 1: the key is freed on release */
} HostStructEntry;

/* One parameter of a request (16 bytes on 32-bit x86). */
typedef struct HostParameterItem {
  const char* name; /* parameter name; null for a positional item */
  HostValue value;  /* parameter value */
} HostParameterItem;

/* A header of a request or response: two zero-terminated texts. */
typedef struct HostHeader {
  const char* name;  /* header name */
  const char* value; /* header value */
} HostHeader;

/* ---- Requests and responses -------------------------------------------- */

/* HTTP method numbers of HostRequest.method. */
enum {
  KIV_METHOD_ANY = 0,
  KIV_METHOD_DELETE = 1,
  KIV_METHOD_GET = 2,
  KIV_METHOD_HEAD = 3,
  KIV_METHOD_OPTIONS = 4,
  KIV_METHOD_PATCH = 5,
  KIV_METHOD_POST = 6,
  KIV_METHOD_PUT = 7,
  KIV_METHOD_OTHER = 8 /* named by HostRequest.methodText */
};

/* A request, in either direction (twelve 32-bit words on 32-bit x86). */
typedef struct HostRequest {
  uint32_t method;               /* KIV_METHOD_*; numbers outside 1..8 read as 0 */
  const char* url;               /* endpoint path with any query, zero-terminated */
  HostParameterItem* items;      /* parameter items, or null */
  uint32_t itemCount;            /* number of parameter items */
  const void* endpointContext;   /* to a plugin: the context of the endpoint entry called */
  const HostHeader* headers;     /* to a plugin: request headers, or null */
  uint32_t headerCount;          /* number of request headers */
  const char* contentType;       /* to a plugin: content type of the body, or null */
  const uint8_t* body;           /* to a plugin: body bytes, or null */
  uint32_t bodySize;             /* number of body bytes */
  uint32_t hostToken;            /* the host token of HostInit */
  const char* methodText;        /* the method's name when method is 8 */
} HostRequest;

struct HostResponse;

/* Reads the next part of a streamed body into `buffer`. On entry *length is
 * the buffer's size and *more is 1; on return *length is the number of bytes
 * placed and *more says whether more will follow. Returns 1 on success. */
typedef uint8_t(KIV_CDECL* HostStreamReadFunction)(void* context, uint8_t* buffer, uint32_t* length, uint8_t* more);
/* Ends a streamed body. */
typedef void(KIV_CDECL* HostStreamCloseFunction)(void* context);
/* Frees what the answering side placed in the response. */
typedef void(KIV_CDECL* HostResponseReleaseFunction)(struct HostResponse* response);

/* The answer to a request (62 bytes on 32-bit x86). The asking side zero-fills
 * it; the answering side fills it and sets `release`. */
typedef struct HostResponse {
  HostValue body;                      /* body value, when not streamed */
  const char* errorText;               /* null on success, else the error */
  uint8_t errorFlag;                   /* 1 when errorText is set */
  uint8_t flag;                        /* response flag byte of the answer */
  uint32_t responseMode;               /* 0 to 3 */
  uint32_t status;                     /* HTTP-style status; 0 leaves the choice to the host */
  const char* statusText;              /* status text, or null */
  const HostHeader* headers;           /* response headers, or null */
  uint32_t headerCount;                /* number of response headers */
  HostStreamReadFunction streamRead;   /* non-null when the body is streamed */
  HostStreamCloseFunction streamClose; /* may be null */
  uint64_t expectedSize;               /* streamed body size hint in bytes */
  void* streamContext;                 /* passed to streamRead and streamClose */
  HostResponseReleaseFunction release; /* may be null */
} HostResponse;

/* ---- Events --------------------------------------------------------------- */

/* An event (six 32-bit words on 32-bit x86). */
typedef struct HostEvent {
  const char* name;  /* event name, zero-terminated */
  HostValue payload; /* event payload */
  uint32_t extra;    /* outgoing: the publisher's extra word (0 from the framework) */
  void* context;     /* incoming: the context given when subscribing */
} HostEvent;

/* Called by the host for each event of a subscribed name. */
typedef void(KIV_CDECL* HostEventCallback)(const HostEvent* event);

/* ---- Host services --------------------------------------------------------- */

struct HostServices;

/* The host's ten services; each takes the table itself first. */
typedef struct HostServices {
  /* 0: send a request to another plugin; `response` is filled on return. */
  void(KIV_CDECL* sendRequest)(struct HostServices* self, HostResponse* response, HostRequest* request);
  /* 1: reserved. */
  void(KIV_CDECL* reserved1)(struct HostServices* self, uint32_t a, uint32_t b);
  /* 2: send an event to its subscribers. */
  void(KIV_CDECL* sendEvent)(struct HostServices* self, HostEvent* event);
  /* 3: subscribe to an event name; flag 0 resource events, 1 service-proxy events. */
  void(KIV_CDECL* subscribe)(struct HostServices* self, const char* name, uint32_t hostToken,
                             HostEventCallback callback, void* context, uint32_t flag);
  /* 4: unsubscribe from an event name. */
  void(KIV_CDECL* unsubscribe)(struct HostServices* self, const char* name, uint32_t hostToken);
  /* 5: reserved. */
  void(KIV_CDECL* reserved5)(struct HostServices* self, uint32_t a, uint32_t b, uint32_t c, uint64_t d, uint32_t e);
  /* 6: let other work of the host run, then return. */
  uint32_t(KIV_CDECL* yield)(struct HostServices* self);
  /* 7: a wait begins (label, value). */
  uint32_t(KIV_CDECL* beginWait)(struct HostServices* self, const char* label, uint32_t value);
  /* 8: the wait ends. */
  uint32_t(KIV_CDECL* endWait)(struct HostServices* self);
  /* 9: write a log line of the plugin (level 0 OKAY, 1 WARN, 2 ERROR, 3 ALWAYS). */
  void(KIV_CDECL* writeLog)(struct HostServices* self, int32_t level, const char* text);
} HostServices;

/* The record passed to initialize; the plugin keeps the pointer for its life. */
typedef struct HostInit {
  HostServices* services; /* the host's service table */
  uint32_t hostToken;     /* passed back in every subscribe, unsubscribe and request */
} HostInit;

/* ---- Plugin callbacks and registration -------------------------------------- */

/* What memoryStats writes: the plugin's allocation counters (56 bytes). */
typedef struct PluginMemoryStats {
  uint64_t peakBytesInUse;        /* highest bytes in use so far */
  uint64_t liveAllocationsAtPeak; /* allocations alive at that peak */
  uint64_t bytesAllocated;        /* bytes allocated in total */
  uint64_t allocations;           /* allocations in total */
  uint64_t bytesFreed;            /* bytes freed in total */
  uint64_t frees;                 /* frees in total */
  uint32_t reserved[2];           /* zero */
} PluginMemoryStats;

/* The plugin's three callbacks; `handle` is PluginRegistration.handle. */
typedef struct PluginCallbacks {
  /* Start-up; returns 1 on success. */
  uint8_t(KIV_CDECL* initialize)(void* handle, HostInit* init);
  /* Shut-down; the plugin and every record it handed out are gone afterwards. */
  void(KIV_CDECL* destroy)(void* handle);
  /* Fills the allocation counters. */
  void(KIV_CDECL* memoryStats)(void* handle, PluginMemoryStats* stats);
} PluginCallbacks;

struct PluginApiTable;

/* The record the host passes to the load function; the plugin writes it in
 * place. Words 3 to 6 stay valid until the host calls destroy. */
typedef struct PluginRegistration {
  uint32_t apiMajor;                     /* in: host's API major; out: the plugin's */
  uint32_t apiMinor;                     /* in: host's API minor; out: the plugin's */
  uint32_t apiPatch;                     /* in: host's API patch; out: the plugin's */
  PluginCallbacks* callbacks;            /* out: the plugin's callback table */
  void* handle;                          /* out: passed back first to every callback */
  const char* name;                      /* out: the plugin's short name */
  const struct PluginApiTable* apiTable; /* out: the plugin's API table */
} PluginRegistration;

typedef void(KIV_CDECL* PluginLoadFunction)(PluginRegistration* registration);

/* ---- The API table ---------------------------------------------------------- */
/* Every array below is also a chain: the first word of each record points to
 * the next record of the same array (null in the last). Every text is owned by
 * the plugin, never null (an empty text is ""), and lives until destroy. */

/* Type kind codes of the records below. */
enum {
  KIV_TYPE_NONE = 0,
  KIV_TYPE_BOOL = 1,
  KIV_TYPE_INT8 = 2,
  KIV_TYPE_UINT8 = 3,
  KIV_TYPE_INT16 = 4,
  KIV_TYPE_UINT16 = 5,
  KIV_TYPE_INT32 = 6,
  KIV_TYPE_UINT32 = 7,
  KIV_TYPE_INT64 = 8,
  KIV_TYPE_UINT64 = 9,
  KIV_TYPE_FLOAT = 10,
  KIV_TYPE_DOUBLE = 11,
  KIV_TYPE_STRING = 12,
  KIV_TYPE_OBJECT = 13,
  KIV_TYPE_BLOB = 14,
  KIV_TYPE_VECTOR = 15,
  KIV_TYPE_ENUM = 16,
  KIV_TYPE_STRUCT = 17,
  KIV_TYPE_CALLBACK = 18,
  KIV_TYPE_MAP = 19
};

/* Argument location codes. */
enum {
  KIV_LOCATION_ANY = 0,
  KIV_LOCATION_QUERY = 1,
  KIV_LOCATION_PATH = 2,
  KIV_LOCATION_HEADER = 4,
  KIV_LOCATION_BODY = 5
};

/* An argument of a function (25 bytes on 32-bit x86). */
typedef struct HostArgumentRecord {
  struct HostArgumentRecord* next; /* next argument */
  const char* name;                /* argument name */
  const char* description;         /* description */
  int32_t typeKind;                /* KIV_TYPE_* of the (declared) type */
  int32_t elementKind;             /* element kind of a vector or map, else 0 */
  const char* typeName;            /* enum/struct name (or element's), else "" */
  uint8_t optional;                /* 1 when the argument may be left out */
} HostArgumentRecord;

/* A bound function (61 bytes on 32-bit x86). */
typedef struct HostFunctionRecord {
  struct HostFunctionRecord* next; /* next function */
  uint32_t reserved;               /* zero */
  const void* context;             /* zero; in an endpoint entry: the endpoint context */
  const char* name;                /* function name */
  const char* nameSpace;           /* namespace */
  HostArgumentRecord* arguments;   /* arguments in order */
  uint32_t argumentCount;          /* number of arguments */
  int32_t returnKind;              /* KIV_TYPE_* of the return type, 0 when none */
  int32_t returnElementKind;       /* element kind of a vector or map return */
  const char* returnTypeName;      /* enum/struct name of the return, else "" */
  const char* description;         /* description */
  const char* help;                /* help text */
  uint8_t threadSafe;              /* 1 when calls may run concurrently */
  const char* asyncEventType;      /* async event data type name, else "" */
  const char* const* tags;         /* tag texts */
  uint32_t tagCount;               /* number of tags */
} HostFunctionRecord;

/* The location of one endpoint argument (8 bytes on 32-bit x86). */
typedef struct HostArgumentLocation {
  struct HostArgumentLocation* next; /* next location */
  uint32_t location;                 /* KIV_LOCATION_* (0 for unknown codes) */
} HostArgumentLocation;

/* A list of texts attached to an endpoint (12 bytes on 32-bit x86). */
typedef struct HostTextList {
  struct HostTextList* next; /* next list */
  const char* const* texts;  /* the texts */
  uint32_t count;            /* number of texts */
} HostTextList;

/* The host calls this to deliver a request to an endpoint; `response` is
 * filled (and its release set) on return. */
typedef void(KIV_CDECL* HostRequestEntry)(HostResponse* response, HostRequest* request);

/* An endpoint (90 bytes on 32-bit x86). */
typedef struct HostEndpointEntry {
  HostFunctionRecord function;     /* the function; function.context is the endpoint context */
  HostRequestEntry requestEntry;   /* call to deliver a request */
  HostArgumentLocation* locations; /* one per argument, in argument order */
  const char* path;                /* path pattern */
  uint32_t method;                 /* KIV_METHOD_* (1..8, else 0 = any) */
  uint8_t flag;                    /* endpoint flag byte */
  HostTextList* textLists;         /* text lists of the endpoint */
  uint32_t textListCount;          /* their count */
  const char* methodText;          /* the method's name when method is 8, else "" */
} HostEndpointEntry;

/* A field of a structure type (29 bytes on 32-bit x86). */
typedef struct HostFieldRecord {
  struct HostFieldRecord* next; /* next field */
  const char* name;             /* field name */
  const char* description;      /* description */
  uint32_t offset;              /* byte offset in the native record */
  int32_t typeKind;             /* KIV_TYPE_* of the (declared) type */
  int32_t elementKind;          /* element kind of a vector or map, else 0 */
  const char* typeName;         /* enum/struct name (or element's), else "" */
  uint8_t extra;                /* the field's extra flag byte */
} HostFieldRecord;

/* An enumerator of an enumeration type (16 bytes on 32-bit x86). */
typedef struct HostEnumeratorRecord {
  struct HostEnumeratorRecord* next; /* next enumerator */
  const char* name;                  /* enumerator name */
  const char* description;           /* description */
  int32_t number;                    /* its number */
} HostEnumeratorRecord;

/* A structure or enumeration type (40 bytes on 32-bit x86). */
typedef struct HostTypeRecord {
  struct HostTypeRecord* next;       /* next type */
  const char* name;                  /* type name */
  const char* nameSpace;             /* namespace */
  uint32_t size;                     /* native size in bytes */
  const char* description;           /* description */
  const char* const* tags;           /* tag texts */
  uint32_t tagCount;                 /* number of tags */
  HostFieldRecord* fields;           /* structure: fields in order, else null */
  HostEnumeratorRecord* enumerators; /* enumeration: enumerators by name, else null */
  uint32_t memberCount;              /* number of fields or enumerators */
} HostTypeRecord;

/* An event the plugin declares (28 bytes on 32-bit x86). */
typedef struct HostEventRecord {
  struct HostEventRecord* next; /* next event */
  const char* name;             /* event name */
  const char* nameSpace;        /* namespace */
  const char* dataTypeName;     /* payload structure name */
  const char* description;      /* description */
  const char* const* tags;      /* tag texts */
  uint32_t tagCount;            /* number of tags */
} HostEventRecord;

/* The API table (six 32-bit words on 32-bit x86). */
typedef struct PluginApiTable {
  HostEndpointEntry* endpoints; /* endpoint entries */
  uint32_t endpointCount;       /* their count */
  HostTypeRecord* types;        /* type records */
  uint32_t typeCount;           /* their count */
  HostEventRecord* events;      /* event records */
  uint32_t eventCount;          /* their count */
} PluginApiTable;

#pragma pack(pop)

/* ---- Layout checks (32-bit x86) ------------------------------------------ */
#if defined(__cplusplus)
#define KIV_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define KIV_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

#if defined(__i386__) || defined(_M_IX86)
#define KIV_CHECK_SIZE(type, size) KIV_STATIC_ASSERT(sizeof(type) == (size), #type " size")
#define KIV_CHECK_OFFSET(type, field, offset) \
  KIV_STATIC_ASSERT(offsetof(type, field) == (offset), #type "." #field " offset")
KIV_CHECK_SIZE(HostValue, 12);
KIV_CHECK_OFFSET(HostValue, u, 4);
KIV_CHECK_SIZE(HostStructEntry, 17);
KIV_CHECK_OFFSET(HostStructEntry, value, 4);
KIV_CHECK_OFFSET(HostStructEntry, keyOwned, 16);
KIV_CHECK_SIZE(HostParameterItem, 16);
KIV_CHECK_SIZE(HostHeader, 8);
KIV_CHECK_SIZE(HostRequest, 48);
KIV_CHECK_OFFSET(HostRequest, url, 4);
KIV_CHECK_OFFSET(HostRequest, items, 8);
KIV_CHECK_OFFSET(HostRequest, itemCount, 12);
KIV_CHECK_OFFSET(HostRequest, endpointContext, 16);
KIV_CHECK_OFFSET(HostRequest, headers, 20);
KIV_CHECK_OFFSET(HostRequest, headerCount, 24);
KIV_CHECK_OFFSET(HostRequest, contentType, 28);
KIV_CHECK_OFFSET(HostRequest, body, 32);
KIV_CHECK_OFFSET(HostRequest, bodySize, 36);
KIV_CHECK_OFFSET(HostRequest, hostToken, 40);
KIV_CHECK_OFFSET(HostRequest, methodText, 44);
KIV_CHECK_SIZE(HostResponse, 62);
KIV_CHECK_OFFSET(HostResponse, errorText, 12);
KIV_CHECK_OFFSET(HostResponse, errorFlag, 16);
KIV_CHECK_OFFSET(HostResponse, flag, 17);
KIV_CHECK_OFFSET(HostResponse, responseMode, 18);
KIV_CHECK_OFFSET(HostResponse, status, 22);
KIV_CHECK_OFFSET(HostResponse, statusText, 26);
KIV_CHECK_OFFSET(HostResponse, headers, 30);
KIV_CHECK_OFFSET(HostResponse, headerCount, 34);
KIV_CHECK_OFFSET(HostResponse, streamRead, 38);
KIV_CHECK_OFFSET(HostResponse, streamClose, 42);
KIV_CHECK_OFFSET(HostResponse, expectedSize, 46);
KIV_CHECK_OFFSET(HostResponse, streamContext, 54);
KIV_CHECK_OFFSET(HostResponse, release, 58);
KIV_CHECK_SIZE(HostEvent, 24);
KIV_CHECK_OFFSET(HostEvent, payload, 4);
KIV_CHECK_OFFSET(HostEvent, extra, 16);
KIV_CHECK_OFFSET(HostEvent, context, 20);
KIV_CHECK_SIZE(HostServices, 40);
KIV_CHECK_OFFSET(HostServices, writeLog, 36);
KIV_CHECK_SIZE(HostInit, 8);
KIV_CHECK_SIZE(PluginMemoryStats, 56);
KIV_CHECK_OFFSET(PluginMemoryStats, frees, 40);
KIV_CHECK_SIZE(PluginCallbacks, 12);
KIV_CHECK_SIZE(PluginRegistration, 28);
KIV_CHECK_OFFSET(PluginRegistration, callbacks, 12);
KIV_CHECK_OFFSET(PluginRegistration, handle, 16);
KIV_CHECK_OFFSET(PluginRegistration, name, 20);
KIV_CHECK_OFFSET(PluginRegistration, apiTable, 24);
KIV_CHECK_SIZE(HostArgumentRecord, 25);
KIV_CHECK_OFFSET(HostArgumentRecord, typeKind, 12);
KIV_CHECK_OFFSET(HostArgumentRecord, typeName, 20);
KIV_CHECK_OFFSET(HostArgumentRecord, optional, 24);
KIV_CHECK_SIZE(HostFunctionRecord, 61);
KIV_CHECK_OFFSET(HostFunctionRecord, context, 8);
KIV_CHECK_OFFSET(HostFunctionRecord, name, 12);
KIV_CHECK_OFFSET(HostFunctionRecord, nameSpace, 16);
KIV_CHECK_OFFSET(HostFunctionRecord, arguments, 20);
KIV_CHECK_OFFSET(HostFunctionRecord, argumentCount, 24);
KIV_CHECK_OFFSET(HostFunctionRecord, returnKind, 28);
KIV_CHECK_OFFSET(HostFunctionRecord, returnElementKind, 32);
KIV_CHECK_OFFSET(HostFunctionRecord, returnTypeName, 36);
KIV_CHECK_OFFSET(HostFunctionRecord, description, 40);
KIV_CHECK_OFFSET(HostFunctionRecord, help, 44);
KIV_CHECK_OFFSET(HostFunctionRecord, threadSafe, 48);
KIV_CHECK_OFFSET(HostFunctionRecord, asyncEventType, 49);
KIV_CHECK_OFFSET(HostFunctionRecord, tags, 53);
KIV_CHECK_OFFSET(HostFunctionRecord, tagCount, 57);
KIV_CHECK_SIZE(HostArgumentLocation, 8);
KIV_CHECK_SIZE(HostTextList, 12);
KIV_CHECK_SIZE(HostEndpointEntry, 90);
KIV_CHECK_OFFSET(HostEndpointEntry, requestEntry, 61);
KIV_CHECK_OFFSET(HostEndpointEntry, locations, 65);
KIV_CHECK_OFFSET(HostEndpointEntry, path, 69);
KIV_CHECK_OFFSET(HostEndpointEntry, method, 73);
KIV_CHECK_OFFSET(HostEndpointEntry, flag, 77);
KIV_CHECK_OFFSET(HostEndpointEntry, textLists, 78);
KIV_CHECK_OFFSET(HostEndpointEntry, textListCount, 82);
KIV_CHECK_OFFSET(HostEndpointEntry, methodText, 86);
KIV_CHECK_SIZE(HostFieldRecord, 29);
KIV_CHECK_OFFSET(HostFieldRecord, offset, 12);
KIV_CHECK_OFFSET(HostFieldRecord, typeName, 24);
KIV_CHECK_OFFSET(HostFieldRecord, extra, 28);
KIV_CHECK_SIZE(HostEnumeratorRecord, 16);
KIV_CHECK_SIZE(HostTypeRecord, 40);
KIV_CHECK_OFFSET(HostTypeRecord, size, 12);
KIV_CHECK_OFFSET(HostTypeRecord, fields, 28);
KIV_CHECK_OFFSET(HostTypeRecord, enumerators, 32);
KIV_CHECK_OFFSET(HostTypeRecord, memberCount, 36);
KIV_CHECK_SIZE(HostEventRecord, 28);
KIV_CHECK_OFFSET(HostEventRecord, dataTypeName, 12);
KIV_CHECK_SIZE(PluginApiTable, 24);
#undef KIV_CHECK_SIZE
#undef KIV_CHECK_OFFSET
#endif

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* KIV_PLUGIN_H */
