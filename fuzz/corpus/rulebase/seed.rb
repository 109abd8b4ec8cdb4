version=2
prefix=%host:word% 
rule=web,x:%a:word% %b:number%
type=@t:%x:ipv4%
annotate=web:+f="v"
rewrite=web:a=b
