# Commands for the gdb sessions, each printing one line the test matches:
#   frames LABEL   the backtrace from the selected thread's newest frame: the routines,
#                  innermost first ("host" for the board's trap page, where the host's calls
#                  into the module return), and how many of the module's frames have no source
#                  line; an unwinding error ends the chain with "error".
#   walk ROUTINE   steps the current call of ROUTINE an instruction at a time (over calls) until
#                  it returns, and counts the instructions at which the chain of its callers
#                  differs from the one at its first instruction.
import gdb

TRAP_PAGE = range(0x0F000000, 0x0F004000)


def chain():
    names, unlined = [], 0
    frame = gdb.newest_frame()
    try:
        while frame is not None:
            if frame.pc() in TRAP_PAGE:
                names.append("host")
            else:
                names.append(frame.name() or hex(frame.pc()))
                sal = frame.find_sal()
                if sal.symtab is None or sal.line == 0:
                    unlined += 1
            frame = frame.older()
    except gdb.error:
        names.append("error")
    return names, unlined


class Frames(gdb.Command):
    def __init__(self):
        super().__init__("frames", gdb.COMMAND_STACK)

    def invoke(self, label, from_tty):
        names, unlined = chain()
        print("%s: %s; %d without a source line" % (label, " <- ".join(names), unlined))


class Walk(gdb.Command):
    def __init__(self):
        super().__init__("walk", gdb.COMMAND_RUNNING)

    def invoke(self, routine, from_tty):
        first, _ = chain()
        steps = differ = 0
        while gdb.newest_frame().name() == routine and steps < 1000:
            names, unlined = chain()
            if names != first or unlined != 0:
                differ += 1
                print("  at %#x: %s" % (gdb.newest_frame().pc(), " <- ".join(names)))
            steps += 1
            gdb.execute("nexti", to_string=True)
        names, _ = chain()
        returned = names == first[1:]
        print("walked %s: %d instructions, %d with another chain, returned to its caller: %s"
              % (routine, steps, differ, returned))


Frames()
Walk()
