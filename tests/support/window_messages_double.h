// A test double for the two window-system calls the card library makes:
// RegisterWindowMessageA and PostMessageA. Posts are recorded, from any
// thread, and a test can wait for the next one.
#pragma once

#include "platform/ui/winapi.h"

#include <chrono>
#include <cstddef>
#include <vector>

namespace windowmessages {

struct Post
{
    HWND hWnd;
    UINT nMessage;
    WPARAM wParam;
    LPARAM lParam;
    std::chrono::steady_clock::time_point when;
};

std::vector<Post> Posts();
void ClearPosts();
// Waits until at least nCount posts have been recorded; false on timeout.
bool WaitForPosts(std::size_t nCount, std::chrono::milliseconds timeout);

}  // namespace windowmessages
