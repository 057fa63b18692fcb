// Scripted children: the steps a test gives a child, and how the child plays
// them on the virtual clock against its pipes.
#include "fake/state.h"

static FakeStep step(FakeStep::Kind kind, uint64_t ms, const std::string& text = "", uint32_t number = 0)
{
    return FakeStep{kind, ms, text, "", number};
}

FakeStep writes(uint64_t ms, const std::string& text) { return step(FakeStep::WRITE, ms, text); }
FakeStep writes_error(uint64_t ms, const std::string& text) { return step(FakeStep::WRITE_ERROR, ms, text); }
FakeStep keeps_writing(uint64_t ms, const std::string& text) { return step(FakeStep::KEEP_WRITING, ms, text); }
FakeStep ends_with(uint64_t ms, uint32_t code) { return step(FakeStep::END, ms, "", code); }
FakeStep reads_input(uint64_t ms) { return step(FakeStep::READ, ms); }
FakeStep fills_input(uint32_t newlines) { return step(FakeStep::FILL_INPUT, 0, "", newlines); }
FakeStep answers_break_with(const std::string& text) { return step(FakeStep::ANSWER_BREAK, 0, text); }

FakeStep answers_line(const std::string& line, const std::string& text, uint64_t ms)
{
    return FakeStep{FakeStep::ANSWER_LINE, ms, text, line + "\n", 0};
}

void fake_children(const std::vector<FakeScript>& scripts) { S.scripts = scripts; }

void fake_child_for(const std::string& part, const FakeScript& script)
{
    S.scripts_by_command.emplace_back(part, script);
}

int fake_live_children()
{
    advance_to(S.now);
    return (int)std::count_if(S.children.begin(), S.children.end(), [](const Child& c) { return !c.ended; });
}

static void child_write(Child& child, int pipe, const std::string& text)
{
    if (!child.ended && pipe >= 0) S.pipes[pipe].data += text;
}

// A step due at its time: `index` is the child's, as the vector of children
// may grow before it is due.
static void run_step(int index, const FakeStep& step)
{
    Child& c = S.children[index];
    if (step.kind == FakeStep::END) child_end(c, step.number);
    else if (step.kind == FakeStep::KEEP_WRITING) S.pipes[c.out].refill = step.text, child_write(c, c.out, step.text);
    else if (step.kind == FakeStep::READ) c.reads = true, child_read(index);
    else child_write(c, step.kind == FakeStep::WRITE ? c.out : c.err, step.text);
}

// Whether `line` (with its line feed) stands in the input as a line of its own.
static bool holds_line(const std::string& input, const std::string& line)
{
    for (size_t at = input.find(line); at != std::string::npos; at = input.find(line, at + 1))
        if (at == 0 || input[at - 1] == '\n') return true;
    return false;
}

const FakeScript& fake::script_for(const char* command_line)
{
    static const FakeScript ends_at_once = {ends_with(0, 0)};
    for (const auto& by_command : S.scripts_by_command)
        if (strstr(command_line, by_command.first.c_str()) != nullptr) return by_command.second;
    return S.next_script < S.scripts.size() ? S.scripts[S.next_script++] : ends_at_once;
}

void fake::child_start(int index)
{
    for (const FakeStep& step : S.children[index].script) {
        if (step.kind == FakeStep::FILL_INPUT && S.children[index].in >= 0) {
            S.children[index].reads = false;
            Pipe& in = S.pipes[S.children[index].in];
            in.data.append(std::min<size_t>(step.number, in.capacity - in.data.size()), '\n');
        }
        bool timed = step.kind != FakeStep::FILL_INPUT && step.kind != FakeStep::ANSWER_LINE &&
                     step.kind != FakeStep::ANSWER_BREAK && (step.kind != FakeStep::READ || step.ms > 0);
        if (timed) add_timer(S.now + step.ms, [index, step] { run_step(index, step); });
    }
}

void fake::child_end(Child& child, uint32_t code)
{
    if (child.ended) return;
    child.ended = true;
    child.code = code;
    if (child.in >= 0) S.pipes[child.in].readers--, S.pipes[child.in].reader_child = -1;
    for (int p : {child.out, child.err})
        if (p >= 0) S.pipes[p].writers--, S.pipes[p].refill.clear();
    note("child %u ended %u", child.pid, code);
}

void fake::child_read(int index)
{
    Child& child = S.children[index];
    if (child.ended || !child.reads) return;
    std::string before = child.input;
    child.input += S.pipes[child.in].data;
    S.pipes[child.in].data.clear();
    for (const FakeStep& step : child.script)
        if (step.kind == FakeStep::ANSWER_LINE && !holds_line(before, step.line) && holds_line(child.input, step.line))
            add_timer(S.now + step.ms, [index, step] {
                child_write(S.children[index], S.children[index].out, step.text);
                child_end(S.children[index], 0);
            });
}

void fake::child_break(Child& child)
{
    for (const FakeStep& step : child.script)
        if (step.kind == FakeStep::ANSWER_BREAK) child_write(child, child.out, step.text);
}

Child* fake::child_of(PlatHandle handle)
{
    Object* o = object(handle);
    return o != nullptr && o->kind == PROCESS ? &S.children[o->id] : nullptr;
}

