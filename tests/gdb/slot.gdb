# The stand-in chipset step calls slot 15 with the setup and policy records: at the routine's
# first instruction they lie above the return address.
break *ApplyBoardPtssTables
continue
printf "setup argument = %#x\n", *(unsigned int *)($esp + 4)
printf "policy argument = %#x\n", *(unsigned int *)($esp + 8)
python
frame = gdb.selected_frame()
following = frame.pc() + frame.architecture().disassemble(frame.pc())[0]["length"]
gdb.execute("stepi")
print("stepi ran one instruction: %s" % (gdb.selected_frame().pc() == following))
end
continue
