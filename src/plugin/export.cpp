// The library's one export.
#include "framework/plugin.h"
#include "plugin/game_client_chat_plugin.h"

KIV_DEFINE_PLUGIN_EXPORT(load_kiv_game_client_chat, Tarn::Client::GameClientChat::GameClientChatPlugin,
                         "kiv-game-client-chat")
