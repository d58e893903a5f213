/* Added to the default linker script when watch_daemon is linked.

   The read-only data and the frame tables go right after the dynamic
   symbols and relocations, in the read-only segment that holds the headers,
   rather than in a read-only segment of their own after the code (the layout
   lld makes by default): they share the headers' pages instead of mapping
   their own for the supervisor's life, and nothing is made executable that
   was not. */
SECTIONS
{
  .rodata : { *(.rodata .rodata.* .gnu.linkonce.r.*) }
  .eh_frame_hdr : { *(.eh_frame_hdr) }
  .eh_frame : ONLY_IF_RO { KEEP (*(.eh_frame)) *(.eh_frame.*) }
}
INSERT AFTER .rela.plt;
