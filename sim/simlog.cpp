#include "simlog.h"

#include <ctime>

namespace sim {

double now()
{
    timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

JsonLine::JsonLine(const char *ev)
{
    m_text = "{\"ev\":\"";
    m_text += ev;
    m_text += '"';
}

void JsonLine::key(const char *k)
{
    m_text += ",\"";
    m_text += k;
    m_text += "\":";
}

JsonLine &JsonLine::num(const char *k, long long value)
{
    key(k);
    m_text += std::to_string(value);
    return *this;
}

JsonLine &JsonLine::time(const char *k, double seconds)
{
    key(k);
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.6f", seconds);
    m_text += buf;
    return *this;
}

JsonLine &JsonLine::text(const char *k, const std::string &value)
{
    key(k);
    m_text += '"';
    for (char c : value) {
        if (c == '"' || c == '\\')
            m_text += '\\';
        if (static_cast<unsigned char>(c) < 0x20)
            continue; // the texts logged here never need control characters
        m_text += c;
    }
    m_text += '"';
    return *this;
}

JsonLine &JsonLine::hex(const char *k, const frame::Bytes &bytes)
{
    return text(k, frame::toHex(bytes));
}

JsonLine &JsonLine::flag(const char *k, bool value)
{
    key(k);
    m_text += value ? "true" : "false";
    return *this;
}

JsonLine &JsonLine::null(const char *k)
{
    key(k);
    m_text += "null";
    return *this;
}

Log::~Log()
{
    if (m_file)
        std::fclose(m_file);
}

bool Log::open(const std::string &path)
{
    m_file = std::fopen(path.c_str(), "w");
    return m_file != nullptr;
}

void Log::write(const JsonLine &line)
{
    if (!m_file)
        return;
    const std::string text = line.finish();
    std::fprintf(m_file, "%s\n", text.c_str());
    std::fflush(m_file);
}

void Log::flush()
{
    if (m_file)
        std::fflush(m_file);
}

} // namespace sim
