/* program.ld: the layout of the stub and the runner, the two programs without
   a C run-time. Code and read-only data share .text
   (read, execute); imports and data share .idata (read, write; GNU ld
   fills the import directory only for a section of that name); .bss holds the
   fixed buffers without taking file space; .reloc lets the loader place the
   image anywhere (ASLR); .rsrc comes last, so that selfextr pack can grow it
   without moving anything else. No section is both writable and executable. */
OUTPUT_FORMAT(pei-i386)
SECTIONS
{
  . = SIZEOF_HEADERS;
  . = ALIGN(__section_alignment__);
  .text __image_base__ + __section_alignment__ :
  {
    *(.text) *(SORT(.text$*)) *(.text.*)
    *(.rdata) *(SORT(.rdata$*)) *(.rodata*)
  }
  .idata BLOCK(__section_alignment__) :
  {
    /* The import directory, its end marker, the lookup tables, the address
       table and the names, in the order the loader expects them. */
    KEEP (SORT(*)(.idata$2))
    KEEP (SORT(*)(.idata$3))
    LONG (0); LONG (0); LONG (0); LONG (0); LONG (0);
    KEEP (SORT(*)(.idata$4))
    __IAT_start__ = .;
    KEEP (SORT(*)(.idata$5))
    __IAT_end__ = .;
    KEEP (SORT(*)(.idata$6))
    KEEP (SORT(*)(.idata$7))
    *(.data) *(.data2) *(SORT(.data$*))
  }
  .bss BLOCK(__section_alignment__) : { *(.bss) *(SORT(.bss$*)) *(COMMON) }
  /* GNU ld writes base relocations only into a section of their own. */
  .reloc BLOCK(__section_alignment__) : { *(.reloc) }
  .rsrc BLOCK(__section_alignment__) : SUBALIGN(4) { KEEP (*(.rsrc)) KEEP (*(.rsrc$*)) }
  /* The stub has no run-time: no constructors, unwind tables or debug data. */
  /DISCARD/ : { *(.debug*) *(.zdebug*) *(.drectve) *(.note.GNU-stack) *(.gnu.lto_*) *(.eh_frame*) *(.pdata*)
                *(.comment) *(.ctors*) *(.dtors*) *(.CRT*) *(.tls*) }
}
