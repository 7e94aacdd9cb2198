#pragma once

class Program;
class QWidget;

// What every window of the program has: the program it belongs to, and the
// load and unload handlers that Program runs as it loads and unloads it.
class Window {
public:
    explicit Window(Program& program) : m_program(program) {}
    virtual ~Window() = default;
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

    virtual QWidget* widget() = 0;

    // Runs once, right after the window is created.
    virtual void Form_Load() {}
    // Runs once, as the window is unloaded (by code or by its close box).
    virtual void Form_Unload() {}

    Program& program() const { return m_program; }

protected:
    Program& m_program;
};
