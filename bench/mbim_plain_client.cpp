// mbim_plain_client: the least a libmbim program does to send one AT command
// over the AT device service, as a baseline for atcmd's libmbim back end. It
// opens the device (directly, or through mbim-proxy with --proxy), sends
// COMMAND SET CID 1 on {ffffffff-abca-4b11-a4e2-f2fc87f94488} with the
// command and CR LF, writes the COMMAND_DONE information buffer to standard
// output as it came, closes the device and exits 0; any failure: a line on
// standard error and exit 1.
//
//   mbim_plain_client [--proxy] DEVICE [COMMAND]      (COMMAND defaults to AT)
#include <libmbim-glib.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr char kAtService[] = "ffffffff-abca-4b11-a4e2-f2fc87f94488";
constexpr guint32 kAtCommandId = 1;
constexpr guint kTimeoutSeconds = 5;

struct Run {
    GMainLoop* loop = nullptr;
    MbimDevice* device = nullptr;
    MbimService service = MBIM_SERVICE_INVALID;
    MbimDeviceOpenFlags flags = MBIM_DEVICE_OPEN_FLAGS_NONE;
    std::string command;
    std::string answer;
    bool ok = false;
};

void Fail(Run* run, const char* step, GError* error) {
    std::fprintf(stderr, "mbim_plain_client: %s: %s\n", step, error ? error->message : "failed");
    if (error) g_error_free(error);
    g_main_loop_quit(run->loop);
}

void OnClosed(GObject* source, GAsyncResult* result, gpointer data) {
    auto* run = static_cast<Run*>(data);
    GError* error = nullptr;
    if (!mbim_device_close_finish(MBIM_DEVICE(source), result, &error)) {
        Fail(run, "close", error);
        return;
    }
    run->ok = true;
    g_main_loop_quit(run->loop);
}

void OnCommandDone(GObject* source, GAsyncResult* result, gpointer data) {
    auto* run = static_cast<Run*>(data);
    GError* error = nullptr;
    MbimMessage* response = mbim_device_command_finish(MBIM_DEVICE(source), result, &error);
    // libmbim hands over a reassembled reply without checking that its
    // fragments added up to a whole message.
    if (!response || !mbim_message_validate(response, &error) ||
        !mbim_message_response_get_result(response, MBIM_MESSAGE_TYPE_COMMAND_DONE, &error)) {
        if (response) mbim_message_unref(response);
        Fail(run, "command", error);
        return;
    }
    guint32 length = 0;
    const guint8* bytes = mbim_message_command_done_get_raw_information_buffer(response, &length);
    run->answer.assign(reinterpret_cast<const char*>(bytes), length);
    mbim_message_unref(response);
    mbim_device_close(run->device, kTimeoutSeconds, nullptr, OnClosed, run);
}

void OnOpened(GObject* source, GAsyncResult* result, gpointer data) {
    auto* run = static_cast<Run*>(data);
    GError* error = nullptr;
    if (!mbim_device_open_full_finish(MBIM_DEVICE(source), result, &error)) {
        Fail(run, "open", error);
        return;
    }
    MbimMessage* message = mbim_message_command_new(mbim_device_get_next_transaction_id(run->device), run->service,
                                                    kAtCommandId, MBIM_MESSAGE_COMMAND_TYPE_SET);
    mbim_message_command_append(message, reinterpret_cast<const guint8*>(run->command.data()),
                                static_cast<guint32>(run->command.size()));
    mbim_device_command(run->device, message, kTimeoutSeconds, nullptr, OnCommandDone, run);
    mbim_message_unref(message);
}

// libmbim leaves a pending command to its time-out when the port goes away;
// the signal says so at once.
void OnRemoved(MbimDevice*, gpointer data) {
    auto* run = static_cast<Run*>(data);
    std::fprintf(stderr, "mbim_plain_client: device removed\n");
    g_main_loop_quit(run->loop);
}

void OnDeviceCreated(GObject*, GAsyncResult* result, gpointer data) {
    auto* run = static_cast<Run*>(data);
    GError* error = nullptr;
    run->device = mbim_device_new_finish(result, &error);
    if (!run->device) {
        Fail(run, "device", error);
        return;
    }
    g_signal_connect(run->device, MBIM_DEVICE_SIGNAL_REMOVED, G_CALLBACK(OnRemoved), run);
    mbim_device_open_full(run->device, run->flags, kTimeoutSeconds, nullptr, OnOpened, run);
}

}  // namespace

int main(int argc, char** argv) {
    Run run;
    int next = 1;
    if (next < argc && std::strcmp(argv[next], "--proxy") == 0) {
        run.flags = MBIM_DEVICE_OPEN_FLAGS_PROXY;
        ++next;
    }
    if (next >= argc || argc - next > 2) {
        std::fprintf(stderr, "usage: %s [--proxy] DEVICE [COMMAND]\n", argv[0]);
        return 2;
    }
    const char* path = argv[next];
    run.command = std::string(next + 1 < argc ? argv[next + 1] : "AT") + "\r\n";

    // libmbim knows services by number; a UUID it does not know must be
    // registered before a message can name it.
    MbimUuid uuid;
    if (!mbim_uuid_from_printable(kAtService, &uuid)) return 1;
    run.service = mbim_uuid_to_service(&uuid);
    if (run.service == MBIM_SERVICE_INVALID)
        run.service = static_cast<MbimService>(mbim_register_custom_service(&uuid, "at"));

    run.loop = g_main_loop_new(nullptr, FALSE);
    GFile* file = g_file_new_for_path(path);
    mbim_device_new(file, nullptr, OnDeviceCreated, &run);
    g_main_loop_run(run.loop);

    g_object_unref(file);
    if (run.device) g_object_unref(run.device);
    g_main_loop_unref(run.loop);
    if (!run.ok) return 1;
    std::fwrite(run.answer.data(), 1, run.answer.size(), stdout);
    return 0;
}
