/*
 * kiv_plugin.h - the binary boundary between a kiv plugin and its host.
 *
 * A plugin is a shared library with one export, load_<short name> (a
 * PluginLoadFunction). Everything that crosses between the plugin and its
 * host after that call is declared here: records of 32-bit words, packed
 * records and plain function pointers. No C++ type, no exception and no text
 * format crosses; values travel as HostValue records. The header is C11 and
 * C++ alike and needs nothing but <stddef.h> and <stdint.h>.
 *
 * Layout. Every record is packed (no padding) with its members in the order
 * declared. The boundary is defined for 32-bit x86, Linux and Windows alike,
 * where a pointer is 4 bytes: each record's comment gives its size there,
 * and the checks at the end of this file hold them. The same declarations
 * compile for 64-bit targets (test hosts), where pointers take 8 bytes and
 * the records grow by that much. Integers are little-endian. A uint8_t
 * documented as "1 when ..." is 0 or 1. Texts are zero-terminated UTF-8
 * unless a length travels with them, and the empty text is "", not null,
 * wherever a field says "never null".
 *
 * Calls. Every function pointer uses the C calling convention: KIV_CDECL is
 * cdecl on 32-bit x86 whatever the compiler's default, and nothing on other
 * targets, whose C convention is the only one. No exception and no longjmp
 * may leave a function called across the boundary.
 *
 * Ownership. Whoever fills a record owns it and everything its pointers
 * reach; the other side reads, never frees, and copies what it keeps:
 *   - a request and an event live until the call that carries them returns;
 *   - a response lives until the asking side calls its release function;
 *   - the registration's results (callbacks, handle, name, API table) live
 *     until destroy returns, unchanged after the load function returns;
 *   - HostInit and the host's HostServices table must stay valid and
 *     unchanged until destroy returns: the plugin keeps the pointer.
 *
 * Threads. The plugin creates no thread of its own. The host calls the load
 * function, initialize and destroy one after another, never overlapping,
 * on one thread: "the lifecycle thread". Requests and events arrive on host
 * threads and run there synchronously; a plugin's call out through
 * sendRequest blocks its thread until the host has answered. Each function
 * type below is tagged:
 *   [thread: ...]   who calls it, and on which thread;
 *   [re-entry: ...] what may run on that thread before it returns.
 */
#ifndef KIV_PLUGIN_H
#define KIV_PLUGIN_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Marks the load function for export from the plugin's shared library. */
#if defined(_WIN32)
#define KIV_PLUGIN_EXPORT __declspec(dllexport)
#else
#define KIV_PLUGIN_EXPORT __attribute__((visibility("default")))
#endif

/* The calling convention of every function that crosses the boundary. On
 * 32-bit x86 it is spelled out, so that a build whose default differs
 * (MSVC /Gz or /Gr, GCC -mrtd) still agrees with the other side. The
 * attribute takes its reserved spelling: <windows.h> defines `cdecl` away,
 * which would leave the types of a file that includes it first unmarked. */
#if defined(_MSC_VER) && defined(_M_IX86)
#define KIV_CDECL __cdecl
#elif defined(__i386__)
#define KIV_CDECL __attribute__((__cdecl__))
#else
#define KIV_CDECL
#endif

/* ---- Version ---------------------------------------------------------------- */

/* The plugin API version this header describes: 18.0.0. The host writes its
 * own version into PluginRegistration before calling the load function; a
 * plugin that loads writes this one back. */
#define KIV_PLUGIN_API_MAJOR 18u
#define KIV_PLUGIN_API_MINOR 0u
#define KIV_PLUGIN_API_PATCH 0u

/* Functions defined in this header: inline, and usable in constant
 * expressions in C++. */
#if defined(__cplusplus)
#define KIV_PLUGIN_INLINE constexpr
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 199901L
#define KIV_PLUGIN_INLINE static inline
#else
#define KIV_PLUGIN_INLINE static __inline
#endif

/* 1 when a host offering plugin API version hostMajor.hostMinor.hostPatch
 * can run a plugin built for pluginMajor.pluginMinor.pluginPatch, else 0:
 * the majors are equal and the host's (minor, patch) is not below the
 * plugin's, so a host may add to the interface but never change it. */
KIV_PLUGIN_INLINE int KivPluginApiCompatible(uint32_t pluginMajor, uint32_t pluginMinor, uint32_t pluginPatch,
                                             uint32_t hostMajor, uint32_t hostMinor, uint32_t hostPatch) {
  return hostMajor == pluginMajor &&
         (hostMinor > pluginMinor || (hostMinor == pluginMinor && hostPatch >= pluginPatch));
}

/* The same test for a plugin built against this header. */
KIV_PLUGIN_INLINE int KivPluginApiHostCompatible(uint32_t hostMajor, uint32_t hostMinor, uint32_t hostPatch) {
  return KivPluginApiCompatible(KIV_PLUGIN_API_MAJOR, KIV_PLUGIN_API_MINOR, KIV_PLUGIN_API_PATCH, hostMajor, hostMinor,
                                hostPatch);
}

/* Name of the chat plugin's load function: "load_" and its short name
 * "kiv-game-client-chat" with every '-' as '_'. */
#define KIV_GAME_CLIENT_CHAT_EXPORT "load_kiv_game_client_chat"

#pragma pack(push, 1)

/* ---- Values ------------------------------------------------------------------ */

/* HostValue.kind: which member of the payload union is set. "Borrowed": the
 * bytes belong to someone else and outlive the value; releasing the value
 * leaves them alone. "Owned": the bytes were allocated by the side that
 * built the value and are freed when that side releases it, containers with
 * everything inside them. A reader refuses any other code. */
enum {
  KIV_HOST_VALUE_EMPTY = 0,        /* no value; payload unused */
  KIV_HOST_VALUE_BOOL = 1,         /* u.boolean */
  KIV_HOST_VALUE_SIGNED = 2,       /* u.i64 */
  KIV_HOST_VALUE_UNSIGNED = 3,     /* u.u64 */
  KIV_HOST_VALUE_FLOAT = 4,        /* u.f64 */
  KIV_HOST_VALUE_STRING = 5,       /* u.text, borrowed */
  KIV_HOST_VALUE_OWNED_STRING = 6, /* u.text, owned */
  KIV_HOST_VALUE_BLOB = 7,         /* u.blob, borrowed */
  KIV_HOST_VALUE_OWNED_BLOB = 8,   /* u.blob, owned */
  KIV_HOST_VALUE_COLLECTION = 9,   /* u.collection, owned with its elements */
  KIV_HOST_VALUE_STRUCTURE = 10    /* u.structure, owned with its members */
};

struct HostStructEntry;

/* One value: a kind code and 8 bytes of payload (12 bytes on 32-bit x86).
 * Only the side that built a value releases it. This plugin reads every
 * kind and writes texts, bytes and containers as owned kinds only. Nesting
 * is bounded by the reader (512 levels in this plugin); deeper values are
 * refused. */
typedef struct HostValue {
  uint32_t kind; /* KIV_HOST_VALUE_*: which union member below is set */
  union {
    uint8_t boolean; /* BOOL: 0 false, anything else true; written as 0 or 1 */
    int64_t i64;     /* SIGNED: the number */
    uint64_t u64;    /* UNSIGNED: the number */
    double f64;      /* FLOAT: IEEE 754 binary64 */
    struct {
      const char* data; /* STRING, OWNED_STRING: first byte of the text; null only when length is 0 */
      uint32_t length;  /* text length in bytes, without a terminating zero; a reader keeps the text
                           up to its first zero byte within them. This plugin adds a zero after the
                           last byte of every text it writes. */
    } text;
    struct {
      const uint8_t* data; /* BLOB, OWNED_BLOB: first byte; null only when size is 0 */
      uint32_t size;       /* number of bytes */
    } blob;
    struct {
      struct HostValue* items; /* COLLECTION: `count` elements in order; null only when count is 0 */
      uint32_t count;          /* number of elements */
    } collection;
    struct {
      struct HostStructEntry* entries; /* STRUCTURE: `count` members; null only when count is 0 */
      uint32_t count;                  /* number of members */
    } structure;
  } u;
} HostValue;

/* One member of a STRUCTURE value (17 bytes on 32-bit x86). This plugin
 * writes members sorted by the bytes of their keys, each key once; it reads
 * members in any order and keeps the last of a repeated key. */
typedef struct HostStructEntry {
  const char* key;  /* member name, zero-terminated, never null */
  HostValue value;  /* member value, owned with the structure */
  uint8_t keyOwned; /* 1 when the key belongs to the entry and is freed with it; 0 when borrowed */
} HostStructEntry;

/* One parameter of a request (16 bytes on 32-bit x86), owned by the side
 * that sent the request. */
typedef struct HostParameterItem {
  const char* name; /* the argument it is for, zero-terminated; null for a positional item,
                       which goes to the argument at its position */
  HostValue value;  /* the parameter's value; the sender releases it after the call */
} HostParameterItem;

/* One header of a request or response: two zero-terminated texts, owned by
 * the side that filled the record pointing to them. */
typedef struct HostHeader {
  const char* name;  /* header name as sent; compared exactly (this plugin looks arguments up in lower case) */
  const char* value; /* header value */
} HostHeader;

/* ---- Requests and responses ----------------------------------------------------- */

/* HTTP methods: HostRequest.method and HostEndpointEntry.method. */
enum {
  KIV_METHOD_ANY = 0, /* request: no method; endpoint: accepts every method */
  KIV_METHOD_DELETE = 1,
  KIV_METHOD_GET = 2,
  KIV_METHOD_HEAD = 3,
  KIV_METHOD_OPTIONS = 4,
  KIV_METHOD_PATCH = 5,
  KIV_METHOD_POST = 6,
  KIV_METHOD_PUT = 7,
  KIV_METHOD_OTHER = 8 /* any other method, named by the record's methodText */
};

/* A request, in either direction (twelve 32-bit words on 32-bit x86).
 * Calling out (plugin to HostServices.sendRequest): the plugin fills method,
 * url, items, itemCount and hostToken and zeroes every other word.
 * Delivered (host to a HostRequestEntry): the host fills what it has. The
 * side that fills the record owns it and everything it reaches until the
 * call returns; the receiver copies what it keeps. */
typedef struct HostRequest {
  uint32_t method;             /* KIV_METHOD_*; a reader takes a number above 8 as 0 (any) */
  const char* url;             /* endpoint path with any "?query", percent-encoded, zero-terminated; never null */
  HostParameterItem* items;    /* itemCount parameter items, or null when there are none; this plugin
                                  sends at most one, positional, holding all its parameters */
  uint32_t itemCount;          /* number of parameter items */
  const void* endpointContext; /* delivered: function.context of the HostEndpointEntry called, passed back
                                  unchanged (the plugin refuses one it did not hand out); outgoing: null */
  const HostHeader* headers;   /* delivered: headerCount request headers, or null; outgoing: null */
  uint32_t headerCount;        /* number of request headers */
  const char* contentType;     /* delivered: media type of the body with any parameters
                                  ("application/json; charset=utf-8"), or null; outgoing: null */
  const uint8_t* body;         /* delivered: bodySize body bytes, or null when there is no body; outgoing: null */
  uint32_t bodySize;           /* body length in bytes */
  uint32_t hostToken;          /* HostInit.hostToken of the plugin sending (outgoing) or receiving (delivered) */
  const char* methodText;      /* method name ("PROPFIND") when method is KIV_METHOD_OTHER, zero-terminated;
                                  read only then; outgoing: null */
} HostRequest;

struct HostResponse;

/* Reads the next part of a streamed response body into `buffer`.
 * context: the response's streamContext. buffer: *length bytes, the
 * caller's. On entry *length is the buffer size in bytes (this plugin reads
 * 4096 at a time) and *more is 1; on return *length is the number of bytes
 * placed, never more than the buffer size, and *more is 1 when more bytes
 * will follow, 0 after the last. A call may place fewer bytes than asked, even
 * none, with *more still 1: the caller yields and reads again. Returns 1 on
 * success; 0 on failure, after which the body is incomplete and read is not
 * called again.
 * [thread: the asking side, on the thread that holds the response, one call
 *  at a time, between the answer and release]
 * [re-entry: none expected; the asking side may yield to the host between
 *  reads, never inside one] */
typedef uint8_t(KIV_CDECL* HostStreamReadFunction)(void* context, uint8_t* buffer, uint32_t* length, uint8_t* more);

/* Ends a streamed body: the answering side frees the stream's state.
 * context: the response's streamContext.
 * [thread: the asking side, on the thread that holds the response, at most
 *  once, after the last read (also after a failed one) and before release]
 * [re-entry: none] */
typedef void(KIV_CDECL* HostStreamCloseFunction)(void* context);

/* Frees what the answering side placed in `response` (texts, headers, body
 * value, stream state, including a stream never closed); this plugin's
 * release also zeroes the record. The asking side owns the record itself.
 * [thread: the asking side, on the thread that holds the response, exactly
 *  once per answered request, whatever the outcome, after streamClose]
 * [re-entry: none; it must not call into the asking side] */
typedef void(KIV_CDECL* HostResponseReleaseFunction)(struct HostResponse* response);

/* HostResponse.flag: a byte the answering side copies from its handler's
 * result. No value has a fixed meaning: this plugin always answers 0 and
 * never reads the byte of answers it receives. */
enum { KIV_RESPONSE_FLAG_NONE = 0 };

/* HostResponse.responseMode: a word the answering side copies from its
 * handler's result. Only its range is fixed: 0 is the default, the values 1
 * to KIV_RESPONSE_MODE_LAST are passed through for the host to interpret
 * (their meaning is not defined), and any other value is written as 0. This
 * plugin always answers 0 and never reads the word of answers it receives. */
enum { KIV_RESPONSE_MODE_DEFAULT = 0, KIV_RESPONSE_MODE_LAST = 3 };

/* The answer to a request (62 bytes on 32-bit x86). The asking side owns the
 * record: it zero-fills it and passes it with the request. The answering
 * side clears it, fills it and sets release; what it placed in the record
 * stays its own, valid until the asking side calls release. An answer is an
 * error when errorText is set, else a success whose result is the body
 * value, or the stream when streamRead is set. */
typedef struct HostResponse {
  HostValue body;                      /* success without a stream: the result value */
  const char* errorText;               /* null on success; else the error message, zero-terminated */
  uint8_t errorFlag;                   /* 1 when errorText is set, else 0 */
  uint8_t flag;                        /* KIV_RESPONSE_FLAG_*: passed through, meaning not fixed */
  uint32_t responseMode;               /* KIV_RESPONSE_MODE_*: 0 to 3, meaning not fixed */
  uint32_t status;                     /* HTTP status code (200, 404, ...); 0 when the handler chose none,
                                          leaving the choice to the host; with errorText, the error's code */
  const char* statusText;              /* HTTP reason phrase, zero-terminated; null or "" when none */
  const HostHeader* headers;           /* headerCount response headers, or null */
  uint32_t headerCount;                /* number of response headers */
  HostStreamReadFunction streamRead;   /* non-null when the result is streamed: read it through this, not body */
  HostStreamCloseFunction streamClose; /* ends the stream; may be null */
  uint64_t expectedSize;               /* streamed body length in bytes as announced: a capacity hint
                                          only, never a limit or a promise */
  void* streamContext;                 /* first argument of streamRead and streamClose, the answering side's */
  HostResponseReleaseFunction release; /* frees what the answering side placed here; null when it placed nothing */
} HostResponse;

/* ---- Events ---------------------------------------------------------------------- */

/* HostEvent.extra of an outgoing event: a word the publisher attaches. Its
 * meaning is not fixed; every event this plugin publishes carries 0. */
enum { KIV_EVENT_EXTRA_NONE = 0 };

/* An event (six 32-bit words on 32-bit x86). Outgoing (plugin to
 * HostServices.sendEvent): the plugin owns the record and all it reaches
 * until sendEvent returns, and releases the payload afterwards. Incoming
 * (host to a HostEventCallback): the host owns them until the callback
 * returns. */
typedef struct HostEvent {
  const char* name;  /* event name, zero-terminated, never null: every subscriber of exactly this name gets it */
  HostValue payload; /* event data; for resource events a STRUCTURE of uri, eventType and data */
  uint32_t extra;    /* outgoing: KIV_EVENT_EXTRA_*; incoming: whatever the host passes, not read */
  void* context;     /* outgoing: null; incoming: the context given to subscribe for this name */
} HostEvent;

/* Delivers one event of a name the plugin subscribed to; `event` is the
 * host's record.
 * [thread: any host thread, but one delivery at a time per plugin, across all
 *  names; never before subscribe for the name has returned, and never after
 *  unsubscribe for it, or destroy, has returned]
 * [re-entry: the callback may call every host service; the host must not
 *  start another delivery to the same plugin before it returns, so an event
 *  sent from inside the callback is queued, not delivered in it] */
typedef void(KIV_CDECL* HostEventCallback)(const HostEvent* event);

/* ---- Host services ------------------------------------------------------------------ */

/* HostServices.subscribe flag: which payload the subscriber expects. */
enum {
  KIV_SUBSCRIBE_RESOURCE_EVENTS = 0,     /* resource events: uri, eventType (0 create, 1 update, 2 delete), data */
  KIV_SUBSCRIBE_SERVICE_PROXY_EVENTS = 1 /* service-proxy responses ("OnServiceProxy...Event" names) */
};

/* HostServices.writeLog level. */
enum {
  KIV_HOST_LOG_OKAY = 0,  /* progress and information */
  KIV_HOST_LOG_WARN = 1,  /* something unexpected that the plugin carried on from */
  KIV_HOST_LOG_ERROR = 2, /* an operation failed */
  KIV_HOST_LOG_ALWAYS = 3 /* to be kept whatever the host's level filter */
};

struct HostServices;

/* The host's ten services (40 bytes on 32-bit x86), owned by the host and
 * handed over in HostInit. Each takes the table itself first, so one
 * function can serve several plugins. Every entry is set (a host fills the
 * reserved ones with functions that do nothing). The plugin may call them
 * from initialize until destroy returns, from any thread on which the host
 * has called into it. */
typedef struct HostServices {
  /* 0: Sends `request` to the plugin serving its URL, blocking until the
   * answer is in `response` (zero-filled by the caller); the caller then
   * reads it and calls response->release. Both records are the caller's.
   * [thread: any, concurrently with other calls]
   * [re-entry: the host may call request entries of any plugin, this one
   *  included, on the calling thread before returning] */
  void(KIV_CDECL* sendRequest)(struct HostServices* self, HostResponse* response, HostRequest* request);
  /* 1: Reserved; its role is not fixed. This plugin never calls it.
   * [thread: none yet] [re-entry: none yet] */
  void(KIV_CDECL* reserved1)(struct HostServices* self, uint32_t a, uint32_t b);
  /* 2: Sends `event` (the caller's record) to every subscriber of its name;
   * the host copies what it routes before returning.
   * [thread: any, concurrently with other calls]
   * [re-entry: the host may deliver the event, to this plugin too, on the
   *  calling thread before returning, except to a plugin already inside an
   *  event callback, for which it queues the event] */
  void(KIV_CDECL* sendEvent)(struct HostServices* self, HostEvent* event);
  /* 3: Subscribes to the events named `name` (zero-terminated, the caller's;
   * the host copies it): each is delivered to `callback` with `context` in
   * HostEvent.context. Subscribing to a name again replaces its callback,
   * context and flag. hostToken: HostInit.hostToken. flag:
   * KIV_SUBSCRIBE_*. Takes effect for events sent after it returns.
   * [thread: any, concurrently with other calls; the plugin calls it from
   *  initialize, request handlers, event callbacks and destroy]
   * [re-entry: none; it delivers nothing before returning] */
  void(KIV_CDECL* subscribe)(struct HostServices* self, const char* name, uint32_t hostToken,
                             HostEventCallback callback, void* context, uint32_t flag);
  /* 4: Ends the subscription to `name`; once it returns the callback is not
   * called for that name again. hostToken: HostInit.hostToken.
   * [thread: any, concurrently with other calls, as subscribe]
   * [re-entry: none; it delivers nothing before returning] */
  void(KIV_CDECL* unsubscribe)(struct HostServices* self, const char* name, uint32_t hostToken);
  /* 5: Reserved; its role is not fixed. This plugin never calls it.
   * [thread: none yet] [re-entry: none yet] */
  void(KIV_CDECL* reserved5)(struct HostServices* self, uint32_t a, uint32_t b, uint32_t c, uint64_t d, uint32_t e);
  /* 6: Lets other work of the host run, then returns. The plugin calls it
   * while waiting for more of a streamed body. Returns a word the plugin
   * does not read.
   * [thread: a thread inside a call from the host]
   * [re-entry: the host may call into this plugin on this thread before
   *  returning] */
  uint32_t(KIV_CDECL* yield)(struct HostServices* self);
  /* 7: A wait of the calling thread begins: `label` names it (zero-terminated,
   * the caller's; this plugin passes "Wait: yield") and `value` is a number
   * shown with it (this plugin passes 0). Returns a word the plugin does not
   * read.
   * [thread: a thread inside a call from the host; endWait follows on the
   *  same thread]
   * [re-entry: none] */
  uint32_t(KIV_CDECL* beginWait)(struct HostServices* self, const char* label, uint32_t value);
  /* 8: The wait last begun on the calling thread ends. Returns a word the
   * plugin does not read.
   * [thread: the thread that called beginWait] [re-entry: none] */
  uint32_t(KIV_CDECL* endWait)(struct HostServices* self);
  /* 9: Writes one of the plugin's log lines: `level` is KIV_HOST_LOG_*, `text`
   * the formatted line, zero-terminated, the caller's until return.
   * [thread: any, concurrently; the plugin calls it holding its logging
   *  lock]
   * [re-entry: none; it must return without calling into the plugin] */
  void(KIV_CDECL* writeLog)(struct HostServices* self, int32_t level, const char* text);
} HostServices;

/* The record passed to initialize (8 bytes on 32-bit x86), owned by the
 * host. The plugin keeps the pointer, so the record must stay valid and
 * unchanged until destroy returns. */
typedef struct HostInit {
  HostServices* services; /* the host's service table, valid until destroy returns */
  uint32_t hostToken;     /* the host's number for this plugin: passed back unchanged in every
                             subscribe, unsubscribe and request */
} HostInit;

/* ---- Plugin callbacks and registration ------------------------------------------------ */

/* What memoryStats writes (56 bytes): the plugin's allocation counters
 * since the library was loaded. A block counts with the size the C runtime
 * reports for it, which may exceed the size asked for. */
typedef struct PluginMemoryStats {
  uint64_t peakBytesInUse;        /* highest bytesAllocated - bytesFreed seen so far, in bytes */
  uint64_t liveAllocationsAtPeak; /* allocations - frees at the moment of that peak */
  uint64_t bytesAllocated;        /* bytes of all blocks allocated */
  uint64_t allocations;           /* number of blocks allocated */
  uint64_t bytesFreed;            /* bytes of all blocks freed */
  uint64_t frees;                 /* number of blocks freed */
  uint32_t reserved[2];           /* written as 0 */
} PluginMemoryStats;

/* The plugin's three callbacks (12 bytes on 32-bit x86), owned by the plugin
 * and valid until destroy returns. `handle` is PluginRegistration.handle. */
typedef struct PluginCallbacks {
  /* Starts the plugin; `init` is the host's record, kept until destroy.
   * Returns 1 when the plugin started, 0 when it did not; the host then
   * calls destroy and nothing else.
   * [thread: the lifecycle thread, once, after the load function; request
   *  entries may already have been called]
   * [re-entry: the plugin subscribes and sends requests from inside, and the
   *  host may call request entries on this thread from inside those] */
  uint8_t(KIV_CDECL* initialize)(void* handle, HostInit* init);
  /* Ends the plugin: unsubscribes every name, then frees the plugin, its
   * callbacks, name and API table. May come without initialize, or after a
   * failed one.
   * [thread: the lifecycle thread, once, last; only when no other call into
   *  the plugin is running, every answer it gave has been released and
   *  every stream closed (their functions are the plugin's)]
   * [re-entry: the plugin calls unsubscribe from inside; the host must not
   *  call into the plugin from there] */
  void(KIV_CDECL* destroy)(void* handle);
  /* Fills `stats` (the caller's) with the allocation counters. The handle
   * is not used.
   * [thread: any host thread, concurrently with any call but destroy]
   * [re-entry: none: it calls nothing and takes no lock] */
  void(KIV_CDECL* memoryStats)(void* handle, PluginMemoryStats* stats);
} PluginCallbacks;

struct PluginApiTable;

/* The record the host passes to the load function (seven 32-bit words on
 * 32-bit x86), owned by the host. The host fills words 0 to 2 and zeroes the
 * rest; a plugin that loads writes all seven in place, one that does not
 * leaves the record untouched, so that a null name tells the host. */
typedef struct PluginRegistration {
  uint32_t apiMajor;                     /* in: the host's plugin API major; out: KIV_PLUGIN_API_MAJOR */
  uint32_t apiMinor;                     /* in: the host's minor; out: KIV_PLUGIN_API_MINOR */
  uint32_t apiPatch;                     /* in: the host's patch; out: KIV_PLUGIN_API_PATCH */
  PluginCallbacks* callbacks;            /* out: the plugin's callback table, the plugin's */
  void* handle;                          /* out: the plugin object, opaque to the host; passed back first
                                            to every callback */
  const char* name;                      /* out: the plugin's short name ("kiv-game-client-chat"),
                                            zero-terminated, the plugin's */
  const struct PluginApiTable* apiTable; /* out: the plugin's endpoints, types and events, the plugin's */
} PluginRegistration;

/* The plugin's one export, named load_<short name with '-' as '_'>. Checks
 * the host's version (KivPluginApiHostCompatible), creates the plugin,
 * builds its API table and fills `registration`. A plugin of this framework
 * that meets an incompatible host reports a fatal error ("ALE-EECF0606") and
 * ends the process; when it cannot be created, it returns and leaves the
 * record untouched.
 * [thread: the lifecycle thread, once per load, before any other call]
 * [re-entry: none; host services are not available yet] */
typedef void(KIV_CDECL* PluginLoadFunction)(PluginRegistration* registration);

/* ---- The API table --------------------------------------------------------------------- */
/* The plugin's description of itself, built once by the load function and
 * owned by the plugin: every record and text lives, unchanged, until destroy
 * returns. Each record array is also a chain: the first word of each record
 * points to the next record of the same array, null in the last. Texts are
 * never null (the empty text is ""); an array pointer is null when its count
 * is 0. */

/* Type kinds of arguments, returns and fields. A code outside 1 to 19 is
 * written as KIV_TYPE_NONE. */
enum {
  KIV_TYPE_NONE = 0, /* no type: a function without a result; the element kind of a non-container */
  KIV_TYPE_BOOL = 1,
  KIV_TYPE_INT8 = 2,
  KIV_TYPE_UINT8 = 3,
  KIV_TYPE_INT16 = 4,
  KIV_TYPE_UINT16 = 5,
  KIV_TYPE_INT32 = 6,
  KIV_TYPE_UINT32 = 7,
  KIV_TYPE_INT64 = 8,
  KIV_TYPE_UINT64 = 9,
  KIV_TYPE_FLOAT = 10,    /* IEEE 754 binary32 */
  KIV_TYPE_DOUBLE = 11,   /* IEEE 754 binary64 */
  KIV_TYPE_STRING = 12,   /* UTF-8 text */
  KIV_TYPE_OBJECT = 13,   /* any value */
  KIV_TYPE_BLOB = 14,     /* bytes */
  KIV_TYPE_VECTOR = 15,   /* elements of the element kind, in order */
  KIV_TYPE_ENUM = 16,     /* a registered enumeration, sent by enumerator name */
  KIV_TYPE_STRUCT = 17,   /* a registered structure */
  KIV_TYPE_CALLBACK = 18, /* a callback's number; its calls are announced by "OnCallback" events */
  KIV_TYPE_MAP = 19       /* text keys to values of the element kind */
};

/* Where a request may carry an argument: HostArgumentLocation.location. 3
 * is not used; a code outside 1 to 5 is written as KIV_LOCATION_ANY. */
enum {
  KIV_LOCATION_ANY = 0,    /* any of the sources below */
  KIV_LOCATION_QUERY = 1,  /* the URL's query string, by name */
  KIV_LOCATION_PATH = 2,   /* a {name} placeholder of the endpoint's path pattern */
  KIV_LOCATION_HEADER = 4, /* the request header named like the argument in lower case */
  KIV_LOCATION_BODY = 5    /* the request body, decoded by its content type */
};

/* An argument of a function (25 bytes on 32-bit x86). */
typedef struct HostArgumentRecord {
  struct HostArgumentRecord* next; /* the function's next argument, null after the last */
  const char* name;                /* the name requests use for it (query key, placeholder, item name) */
  const char* description;         /* what it is for, for people; "" when none */
  int32_t typeKind;                /* KIV_TYPE_* the host is shown: the type declared at registration
                                      when one was, else the native type */
  int32_t elementKind;             /* KIV_TYPE_* of the elements of a VECTOR or MAP, else KIV_TYPE_NONE */
  const char* typeName;            /* registered name of an ENUM or STRUCT type, or of a VECTOR's or
                                      MAP's registered element type; else "" */
  uint8_t optional;                /* 1 when a request may leave the argument out */
} HostArgumentRecord;

/* A bound function (61 bytes on 32-bit x86). */
typedef struct HostFunctionRecord {
  struct HostFunctionRecord* next; /* the next record of the same array, null after the last */
  uint32_t reserved;               /* written as 0 */
  const void* context;             /* null in a function record; in an endpoint entry the endpoint
                                      context, opaque, which the host passes back as
                                      HostRequest.endpointContext */
  const char* name;                /* the function's name, unique in the plugin (an endpoint's is built
                                      from method and path: "PostKivGameClientChatV1InstantMessages") */
  const char* nameSpace;           /* namespace the function is listed under; "" when none */
  HostArgumentRecord* arguments;   /* argumentCount arguments in call order */
  uint32_t argumentCount;          /* number of arguments */
  int32_t returnKind;              /* KIV_TYPE_* of the result the host is shown; KIV_TYPE_NONE when none */
  int32_t returnElementKind;       /* KIV_TYPE_* of the result's elements for a VECTOR or MAP, else 0 */
  const char* returnTypeName;      /* registered name of the result type, as HostArgumentRecord.typeName */
  const char* description;         /* summary, for people; "" when none */
  const char* help;                /* longer help text, for people; "" when none */
  uint8_t threadSafe;              /* 1 when calls may run concurrently; 0: the host should run one at a time */
  const char* asyncEventType;      /* an asynchronous function: name of the event structure that reports
                                      its outcome; else "" */
  const char* const* tags;         /* tagCount tag texts for grouping in listings */
  uint32_t tagCount;               /* number of tags */
} HostFunctionRecord;

/* Where an endpoint's argument may come from (8 bytes on 32-bit x86); one
 * per argument, in argument order. */
typedef struct HostArgumentLocation {
  struct HostArgumentLocation* next; /* the next argument's location, null after the last */
  uint32_t location;                 /* KIV_LOCATION_* */
} HostArgumentLocation;

/* A list of texts an endpoint's registration carries (12 bytes on 32-bit
 * x86). What the lists stand for is not fixed; this plugin's endpoints
 * carry none. */
typedef struct HostTextList {
  struct HostTextList* next; /* the endpoint's next list, null after the last */
  const char* const* texts;  /* `count` texts */
  uint32_t count;            /* number of texts */
} HostTextList;

/* Delivers a request to an endpoint: fills `response` (the host's record;
 * the plugin clears it first) and sets its release before returning.
 * `request` is the host's, read-only, valid until return. Failures come
 * back as error answers, never as a crash or an exception: 404 for a path
 * the endpoint does not serve, 400 for a request it cannot read, 500 when
 * the handler failed unexpectedly.
 * [thread: any host thread, concurrently with other requests (the host
 *  should run calls of a function whose threadSafe is 0 one at a time);
 *  also before initialize]
 * [re-entry: a handler that calls sendRequest or yield may see the host call
 *  this or another request entry on the same thread before that returns] */
typedef void(KIV_CDECL* HostRequestEntry)(HostResponse* response, HostRequest* request);

/* HostEndpointEntry.flag: a byte copied from the endpoint's registration.
 * Its meaning is not fixed; every endpoint of this plugin has 0. */
enum { KIV_ENDPOINT_FLAG_NONE = 0 };

/* An endpoint (90 bytes on 32-bit x86): the record of the function that
 * serves it, then how requests reach it. */
typedef struct HostEndpointEntry {
  HostFunctionRecord function;     /* the serving function's record; function.next points to the next
                                      HostEndpointEntry, function.context is the endpoint context */
  HostRequestEntry requestEntry;   /* call to deliver a request to this endpoint */
  HostArgumentLocation* locations; /* function.argumentCount locations, one per argument in order */
  const char* path;                /* path pattern with {name} placeholders ("/kiv-chat/v1/friends/{id}") */
  uint32_t method;                 /* KIV_METHOD_* accepted; KIV_METHOD_ANY accepts every method */
  uint8_t flag;                    /* KIV_ENDPOINT_FLAG_*: passed through, meaning not fixed */
  HostTextList* textLists;         /* textListCount text lists */
  uint32_t textListCount;          /* number of text lists */
  const char* methodText;          /* method name when method is KIV_METHOD_OTHER, else "" */
} HostEndpointEntry;

/* HostFieldRecord.extra: a byte given when the field is registered and
 * passed on. Its meaning is not fixed; every field of this plugin has 0. */
enum { KIV_FIELD_EXTRA_NONE = 0 };

/* A field of a structure type (29 bytes on 32-bit x86). */
typedef struct HostFieldRecord {
  struct HostFieldRecord* next; /* the structure's next field, null after the last */
  const char* name;             /* member name in the structure's values */
  const char* description;      /* what it holds, for people; "" when none */
  uint32_t offset;              /* byte offset of the field in the plugin's native structure; for
                                   information only, the host never reads plugin memory */
  int32_t typeKind;             /* KIV_TYPE_* as HostArgumentRecord.typeKind */
  int32_t elementKind;          /* KIV_TYPE_* of a VECTOR's or MAP's elements, else KIV_TYPE_NONE */
  const char* typeName;         /* as HostArgumentRecord.typeName */
  uint8_t extra;                /* KIV_FIELD_EXTRA_*: passed through, meaning not fixed */
} HostFieldRecord;

/* An enumerator of an enumeration type (16 bytes on 32-bit x86). */
typedef struct HostEnumeratorRecord {
  struct HostEnumeratorRecord* next; /* the next enumerator by name, null after the last */
  const char* name;                  /* enumerator name, which values carry */
  const char* description;           /* what it means, for people; "" when none */
  int32_t number;                    /* its number in the native enumeration */
} HostEnumeratorRecord;

/* A structure or enumeration type (40 bytes on 32-bit x86). */
typedef struct HostTypeRecord {
  struct HostTypeRecord* next;       /* the next type, null after the last */
  const char* name;                  /* registered type name, unique in the plugin; what typeName fields name */
  const char* nameSpace;             /* namespace the type is listed under; "" when none */
  uint32_t size;                     /* size of the native type in bytes, for information */
  const char* description;           /* what it is, for people; "" when none */
  const char* const* tags;           /* tagCount tag texts */
  uint32_t tagCount;                 /* number of tags */
  HostFieldRecord* fields;           /* a structure: memberCount fields in registration order; else null */
  HostEnumeratorRecord* enumerators; /* an enumeration: memberCount enumerators by name; else null */
  uint32_t memberCount;              /* number of fields or enumerators */
} HostTypeRecord;

/* An event the plugin publishes (28 bytes on 32-bit x86). */
typedef struct HostEventRecord {
  struct HostEventRecord* next; /* the next event, null after the last */
  const char* name;             /* the event name it is sent under (HostEvent.name) */
  const char* nameSpace;        /* namespace the event is listed under; "" when none */
  const char* dataTypeName;     /* registered name of the payload's structure type */
  const char* description;      /* what it announces, for people; "" when none */
  const char* const* tags;      /* tagCount tag texts */
  uint32_t tagCount;            /* number of tags */
} HostEventRecord;

/* The API table (six 32-bit words on 32-bit x86). */
typedef struct PluginApiTable {
  HostEndpointEntry* endpoints; /* endpointCount endpoints the plugin serves */
  uint32_t endpointCount;       /* number of endpoints */
  HostTypeRecord* types;        /* typeCount registered types */
  uint32_t typeCount;           /* number of types */
  HostEventRecord* events;      /* eventCount events the plugin publishes */
  uint32_t eventCount;          /* number of events */
} PluginApiTable;

#pragma pack(pop)

/* ---- Layout checks -------------------------------------------------------------------- */
/* Every record's size on 32-bit x86, where the layout is fixed: a compiler
 * that does not pack as asked fails here rather than at run time. */
#if defined(__cplusplus)
#define KIV_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define KIV_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

#if defined(__i386__) || defined(_M_IX86)
#define KIV_CHECK_SIZE(type, size) KIV_STATIC_ASSERT(sizeof(type) == (size), #type " size")
KIV_CHECK_SIZE(HostValue, 12);
KIV_CHECK_SIZE(HostStructEntry, 17);
KIV_CHECK_SIZE(HostParameterItem, 16);
KIV_CHECK_SIZE(HostHeader, 8);
KIV_CHECK_SIZE(HostRequest, 48);
KIV_CHECK_SIZE(HostResponse, 62);
KIV_CHECK_SIZE(HostEvent, 24);
KIV_CHECK_SIZE(HostServices, 40);
KIV_CHECK_SIZE(HostInit, 8);
KIV_CHECK_SIZE(PluginMemoryStats, 56);
KIV_CHECK_SIZE(PluginCallbacks, 12);
KIV_CHECK_SIZE(PluginRegistration, 28);
KIV_CHECK_SIZE(HostArgumentRecord, 25);
KIV_CHECK_SIZE(HostFunctionRecord, 61);
KIV_CHECK_SIZE(HostArgumentLocation, 8);
KIV_CHECK_SIZE(HostTextList, 12);
KIV_CHECK_SIZE(HostEndpointEntry, 90);
KIV_CHECK_SIZE(HostFieldRecord, 29);
KIV_CHECK_SIZE(HostEnumeratorRecord, 16);
KIV_CHECK_SIZE(HostTypeRecord, 40);
KIV_CHECK_SIZE(HostEventRecord, 28);
KIV_CHECK_SIZE(PluginApiTable, 24);
#undef KIV_CHECK_SIZE
#endif

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* KIV_PLUGIN_H */
