# Every PTSS table made a million bytes of bus aborts long: the passes run until the budget
# ends them, long enough to be interrupted.
break ApplyBoardPtssTables
continue
delete
python
for table in "ABCDE":
    gdb.execute("set var PtssTable%s.Entries = 0xfff04000" % table)
    gdb.execute("set var PtssTable%s.Count = 50000" % table)
end
# Ctrl-C as soon as the guest runs again: GDB sends the interrupt byte.
python
def interrupt_once(event):
    gdb.events.cont.disconnect(interrupt_once)
    gdb.post_event(lambda: gdb.execute("interrupt"))
gdb.events.cont.connect(interrupt_once)
end
continue
printf "interrupted at %#x\n", $pc
continue
continue
