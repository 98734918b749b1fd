#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Stands in for the launcher window: a message-only window that becomes
// mainWindow and keeps every worker message it receives, in order, taking
// over the texts they carry as the real window does.
class MessageCollector {
  public:
    struct Message {
        UINT id;
        WPARAM wParam;
        bool hasText;
        std::wstring text;
        LPARAM lParam = 0;  // of a progress message, which carries no text
    };

    MessageCollector();
    ~MessageCollector();
    MessageCollector(const MessageCollector&) = delete;
    MessageCollector& operator=(const MessageCollector&) = delete;

    // Dispatches what has been posted so far and returns everything received.
    const std::vector<Message>& Collect();

    // The status texts received, in order.
    std::vector<std::wstring> Statuses();

  private:
    static LRESULT CALLBACK Procedure(HWND window, UINT id, WPARAM wParam, LPARAM lParam);
    HWND window_ = nullptr;
    std::vector<Message> messages_;
};

// Runs the update worker on a thread of its own, as the window does, waits
// for it, and returns the messages it posted.
std::vector<MessageCollector::Message> RunWorkerAndCollect(MessageCollector& collector);
