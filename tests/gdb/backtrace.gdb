# Two calls deep: the entry point calls PciExpressRead8 (where GetPciExpressBase is inlined),
# which calls PcdGet64.
break PcdGet64
continue
bt
frames two calls deep
up
info frame
down
finish
delete
# A routine that saves registers and pushes arguments: its callers at each of its instructions.
break *PchPwrmBaseGet
continue
walk PchPwrmBaseGet
delete
continue
