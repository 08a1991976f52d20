@echo off
if not exist docs\README.TXT exit /b 1
