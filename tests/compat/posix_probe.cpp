// A few lines built with the posix thread model: the import check must
// refuse the result (its threading runtime imports functions that Windows 95
// and NT 4.0 lack).
#include <mutex>
#include <thread>

int main() {
    std::mutex m;
    int n = 0;
    std::thread t([&] { std::lock_guard<std::mutex> lock(m); ++n; });
    t.join();
    return n == 1 ? 0 : 1;
}
