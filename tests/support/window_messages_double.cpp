#include "tests/support/window_messages_double.h"

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>

namespace windowmessages {
namespace {

std::mutex g_mutex;
std::condition_variable g_posted;
std::vector<Post> g_posts;
std::vector<std::string> g_names;

}  // namespace

std::vector<Post> Posts()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_posts;
}

void ClearPosts()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_posts.clear();
}

bool WaitForPosts(std::size_t nCount, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(g_mutex);
    return g_posted.wait_for(lock, timeout, [nCount] { return g_posts.size() >= nCount; });
}

}  // namespace windowmessages

using namespace windowmessages;

UINT WINAPI RegisterWindowMessageA(LPCSTR lpString)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    for (std::size_t i = 0; i < g_names.size(); ++i) {
        if (g_names[i] == lpString)
            return static_cast<UINT>(0xC000 + i);
    }
    g_names.emplace_back(lpString);
    return static_cast<UINT>(0xC000 + g_names.size() - 1);
}

BOOL WINAPI PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_posts.push_back(Post{hWnd, Msg, wParam, lParam, std::chrono::steady_clock::now()});
    }
    g_posted.notify_all();
    return TRUE;
}
