// The installer's master boot code: the 184 real-mode bytes that go to the start of sector 0.
// They are data to the installer (the symbol masterBootCode), code to the firmware, which loads
// the sector at 0000:7C00. Only assembly-time constants address memory, so no relocation ever
// reaches these bytes whatever the host object format.

#define LOAD_ADDRESS 0x7c00
#define RUN_ADDRESS 0x0600
#define SECTOR_SIZE 512
#define BOOT_CODE_SIZE 184
#define TABLE_OFFSET 446
#define ENTRY_SIZE 16
#define ENTRY_COUNT 4
#define STATUS_ACTIVE 0x80
#define READ_ATTEMPTS 5
#define SIGNATURE_ADDRESS (LOAD_ADDRESS + SECTOR_SIZE - 2)
#define SIGNATURE 0xaa55

// Where a byte of this code sits once the code runs from its copy at 0000:0600.
#define RUN(label) ((label) - masterBootCode + RUN_ADDRESS)

        .section .rodata
        .globl masterBootCode
        .type masterBootCode, @object
        .size masterBootCode, BOOT_CODE_SIZE
masterBootCode:
        .code16
        cli
        xorw %ax, %ax
        movw %ax, %ss
        movw $LOAD_ADDRESS, %sp
        movw %ax, %ds
        movw %ax, %es
        sti
        cld

        // Move out of the way: the active partition's sector is loaded where we are now.
        movw $LOAD_ADDRESS, %si
        movw $RUN_ADDRESS, %di
        movw $(SECTOR_SIZE / 2), %cx
        rep movsw
        ljmp $0, $RUN(.Lrelocated)

.Lrelocated:
        movw $(RUN_ADDRESS + TABLE_OFFSET), %si
        movb $ENTRY_COUNT, %cl          // CX is 0 after the copy
.Lscan:
        movb (%si), %al
        cmpb $STATUS_ACTIVE, %al
        je .Lfound
        testb %al, %al
        jnz .Lmissing                   // neither active nor inactive: a damaged table
        addw $ENTRY_SIZE, %si
        loop .Lscan
        int $0x18                       // no active entry: the firmware tries its next device
.Lhang:
        jmp .Lhang

        // SI stays on the entry: the loaded boot loader expects it there.
.Lfound:
        movw $READ_ATTEMPTS, %di
.Lread:
        movw $LOAD_ADDRESS, %bx
        movw (%si), %dx                 // DL = status 80h as drive, DH = start head
        movw 2(%si), %cx                // start sector and cylinder
        movw $0x0201, %ax               // read one sector
        int $0x13
        jnc .Lloaded
        xorw %ax, %ax                   // reset the disk before the next attempt
        movb (%si), %dl
        int $0x13
        decw %di
        jnz .Lread
        movw $RUN(.LloadError), %si
        jmp .Lshow

.Lloaded:
        cmpw $SIGNATURE, SIGNATURE_ADDRESS
        jne .Lmissing
        ljmp $0, $LOAD_ADDRESS

.Lmissing:
        movw $RUN(.LnoSystem), %si
.Lshow:
        lodsb
        testb %al, %al
        jz .Lhang
        movb $0x0e, %ah
        movw $0x0007, %bx
        int $0x10
        jmp .Lshow

.LnoSystem:
        .asciz "Missing operating system"
.LloadError:
        .asciz "Error loading operating system"
        // Zero up to the end of the code area. Should the code outgrow it, the assembler stops
        // the build here ("attempt to move .org backwards").
        .org masterBootCode + BOOT_CODE_SIZE, 0

        .section .note.GNU-stack, "", @progbits
