// JSON-lines event log of the simulated unit, flushed line by line so that a
// test can read it while the unit keeps running.
#pragma once

#include "link/frame.h"

#include <cstdio>
#include <string>

namespace sim {

// Seconds on CLOCK_MONOTONIC, the clock that QElapsedTimer and steady_clock
// use on Linux, so the host can put its own times beside these.
double now();

class JsonLine
{
public:
    explicit JsonLine(const char *ev);
    JsonLine &num(const char *key, long long value);
    JsonLine &time(const char *key, double seconds);
    JsonLine &text(const char *key, const std::string &value);
    JsonLine &hex(const char *key, const frame::Bytes &bytes);
    JsonLine &flag(const char *key, bool value);
    JsonLine &null(const char *key);
    std::string finish() const { return m_text + "}"; }

private:
    void key(const char *k);
    std::string m_text;
};

class Log
{
public:
    ~Log();
    bool open(const std::string &path);
    void write(const JsonLine &line);
    void flush();

private:
    std::FILE *m_file = nullptr;
};

} // namespace sim
