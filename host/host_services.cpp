#include "host_services.h"

#include <thread>

#include "event_bus.h"
#include "host_internal.h"
#include "journal.h"
#include "marshal.h"

namespace kivhost {

// Every entry is called by plugin code through a C function pointer: nothing
// may escape it, and a table the host did not hand out is not followed.
struct Host::Internals {
  static PluginSlot* SlotOf(HostServices* self) {
    return self == nullptr ? nullptr : reinterpret_cast<ServiceTable*>(self)->slot;
  }

  static void KIV_CDECL SendRequest(HostServices* self, HostResponse* response, HostRequest* request) {
    if (response == nullptr) return;
    PluginSlot* slot = SlotOf(self);
    if (slot == nullptr) {
      FillFailure(response, "Unknown host services table");
      return;
    }
    Host* host = slot->host;
    try {
      RecordedRequest rec;
      rec.seq = host->NextSeq();
      rec.from = slot->name;
      Call call;
      RequestProblem problem = ReadRequest(request, &call);
      Answer answer =
          problem.text.empty() ? host->Dispatch(call) : HostFailure(problem.status, std::move(problem.text));
      FillResponse(answer, response, host->options_.streamThreshold, host->options_.streamChunk);
      // The call is done with: the record takes its parts instead of copies.
      rec.method = std::move(call.method);
      rec.url = std::move(call.url);
      for (Item& item : call.items) {
        json j = json::object();
        j["value"] = std::move(item.value);
        if (item.name) j["name"] = std::move(*item.name);
        rec.items.push_back(std::move(j));
      }
      rec.contentType = std::move(call.contentType);
      rec.body = std::move(call.body);
      rec.answer = std::move(answer);
      host->journal_->Record(std::move(rec));
    } catch (const std::exception& e) {
      FillFailure(response, std::string("The host failed: ") + e.what());
    } catch (...) {
      FillFailure(response, "The host failed");
    }
  }

  static void KIV_CDECL Reserved1(HostServices*, uint32_t, uint32_t) {}
  static void KIV_CDECL Reserved5(HostServices*, uint32_t, uint32_t, uint32_t, uint64_t, uint32_t) {}

  static void KIV_CDECL SendEvent(HostServices* self, HostEvent* event) {
    PluginSlot* slot = SlotOf(self);
    if (slot == nullptr) return;
    try {
      if (event == nullptr || event->name == nullptr) {
        slot->host->HostLog(1, slot->name + " sent an event without a name; dropped");
        return;
      }
      std::string name;
      if (!WholeText(event->name, kMaxEventName, &name)) {
        // Cut short, it would be another event name and reach other subscribers.
        slot->host->HostLog(1, slot->name + " sent an event whose name is longer than " +
                                   std::to_string(kMaxEventName - 1) + " bytes; dropped");
        return;
      }
      json payload;
      ReadResult read = HostValueToJson(event->payload, &payload);
      if (!read.ok) {
        slot->host->HostLog(
            1, slot->name + " sent the event " + name + " with an unreadable payload (" + read.error + "); dropped");
        return;
      }
      slot->host->Publish(name, payload, event->extra, slot->name);
    } catch (...) {
    }
  }

  static void KIV_CDECL Subscribe(HostServices* self, const char* name, uint32_t token, HostEventCallback callback,
                                  void* context, uint32_t flag) {
    PluginSlot* slot = SlotOf(self);
    if (slot == nullptr) return;
    Host* host = slot->host;
    try {
      if (name == nullptr || callback == nullptr) {
        host->HostLog(1,
                      slot->name + " subscribed without " + (name == nullptr ? "a name" : "a callback") + "; ignored");
        return;
      }
      std::shared_ptr<PluginSlot> owner = host->SlotByName(slot->name);
      if (owner == nullptr) return;  // being unloaded
      std::string whole;
      if (!WholeText(name, kMaxEventName, &whole)) {
        host->HostLog(1, slot->name + " subscribed to a name longer than " + std::to_string(kMaxEventName - 1) +
                             " bytes; ignored");
        return;
      }
      host->bus_->Subscribe(std::move(owner), std::move(whole), token, callback, context, flag);
    } catch (...) {
    }
  }

  static void KIV_CDECL Unsubscribe(HostServices* self, const char* name, uint32_t) {
    PluginSlot* slot = SlotOf(self);
    if (slot == nullptr || name == nullptr) return;
    try {
      std::string whole;
      // No name that long was ever subscribed (see Subscribe).
      if (!WholeText(name, kMaxEventName, &whole)) return;
      slot->host->bus_->Unsubscribe(slot, whole);
    } catch (...) {
    }
  }

  static uint32_t KIV_CDECL Yield(HostServices* self) {
    if (PluginSlot* slot = SlotOf(self)) ++slot->host->yields_;
    std::this_thread::yield();
    return 0;
  }

  static uint32_t KIV_CDECL BeginWait(HostServices* self, const char*, uint32_t) {
    if (PluginSlot* slot = SlotOf(self)) ++slot->host->waits_;
    return 0;
  }

  static uint32_t KIV_CDECL EndWait(HostServices*) { return 0; }

  static void KIV_CDECL WriteLog(HostServices* self, int32_t level, const char* text) {
    PluginSlot* slot = SlotOf(self);
    if (slot == nullptr) return;
    try {
      std::string line;
      if (text == nullptr) {
        line = "(null)";
      } else if (!WholeText(text, kMaxLogLine, &line)) {
        // Kept, but marked: a reader of the log must not take it for the whole line.
        line = Text(text, kMaxLogLine - 1) + " [cut at " + std::to_string(kMaxLogLine - 1) + " bytes]";
      }
      slot->host->Log(slot->name, level, line);
    } catch (...) {
    }
  }
};

HostServices ServiceFunctions() {
  using I = Host::Internals;
  return HostServices{&I::SendRequest, &I::Reserved1, &I::SendEvent, &I::Subscribe, &I::Unsubscribe,
                      &I::Reserved5,   &I::Yield,     &I::BeginWait, &I::EndWait,   &I::WriteLog};
}

}  // namespace kivhost
